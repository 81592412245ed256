// SPDX-License-Identifier: Apache-2.0
// The negative case of module_includes.cmake: a module source that includes a host header,
// which the check must refuse.
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_tasks.h"
