// SPDX-License-Identifier: Apache-2.0
// The shared contract cases (contract_cases.cpp) on the host's kernels: every case of the table
// is a test of its own, run from the test's thread, which idles on the kernel's clock to let the
// case's tasks run. The image runs the same table on its own kernel (metal/selftest.cpp).
#include <gtest/gtest.h>

#include <string>

#include "platform/kernel/rtk_host.h"
#include "tests/platform/contract_cases.h"
#include "tests/platform/rtk_support.h"

namespace {

class RtkContract : public rtktest::KernelTest,
                    public ::testing::WithParamInterface<const kx::contract::Case*> {};

std::vector<const kx::contract::Case*> allCases() {
    int count = 0;
    const kx::contract::Case* table = kx::contract::cases(&count);
    std::vector<const kx::contract::Case*> out;
    for (int i = 0; i < count; ++i)
        out.push_back(&table[i]);
    return out;
}

TEST_P(RtkContract, Holds) {
    const kx::contract::Case& c = *GetParam();
    kx::contract::Context cx{};
    cx.pause = [] { kx::RtkIdle(1000); };
    cx.nowUsec = [] { return kx::RtkNowUsec(); };
    c.run(cx);
    EXPECT_STREQ(cx.failure, "") << c.clause << ": " << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, RtkContract, ::testing::ValuesIn(allCases()),
                         [](const ::testing::TestParamInfo<const kx::contract::Case*>& info) {
                             return std::string(info.param->name);
                         });

}  // namespace
