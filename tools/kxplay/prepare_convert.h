// SPDX-License-Identifier: Apache-2.0
// kxplay prepare's conversion of one file, called by the command for each file it is given.
// Implemented only where libsndfile and libsoxr are built in (KX_HAVE_PREPARE). Runs on the
// caller's thread; no shared state, no lock.
#pragma once

#include <string>

#include "tools/kxplay/prepare.h"

namespace kx::prepare {

// Converts the file at `path` as the options say and writes it to `target` (an old file there is
// replaced only once the new one is complete). Returns "" once written, having printed the
// report line unless the options are quiet; else the refusal's reason in words, with nothing
// written.
std::string prepareOne(const PrepareOptions& o, const std::string& path, const std::string& target);

}  // namespace kx::prepare
