// SPDX-License-Identifier: Apache-2.0
// Sound file paths: the joined text, the exact length limit, and locations that cannot be
// resolved or are bound to relative directories.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "path/path.h"
#include "platform/files/kxfs.h"
#include "platform/files/kxfs_host.h"
#include "tests/support/wavgen.h"

namespace {

using namespace kx;

constexpr uint32_t kSize = 512;

class CreatPath : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(kxfsBind(kLocation, dir.path().c_str()), 0);
        // The directory exactly as the platform spells it, to aim names at exact lengths.
        char buffer[kSize] = {};
        ASSERT_EQ(kxfsPath(kLocation, buffer, kSize), 0);
        ASSERT_EQ(kxfsDevice(buffer, buffer, kSize, 0), 0);
        resolved = buffer;
    }
    void TearDown() override { kxfsReset(); }

    std::string build(uint32_t location, const std::string& name, uint16_t* result) {
        char buffer[kSize] = {};
        *result = creatPath(location, name.c_str(), buffer, kSize);
        return buffer;
    }

    static constexpr uint32_t kLocation = 7;
    kxtest::TempDir dir;
    std::string resolved;
};

TEST_F(CreatPath, JoinsUpToSizeMinusOneCharacters) {
    ASSERT_LT(resolved.size() + 2, 500u);
    struct Case {
        size_t total;  // length of the whole path
        uint16_t result;
    };
    const Case cases[] = {
        {resolved.size() + 2, 0}, {510, 0}, {511, 0}, {512, 1}, {513, 1}, {700, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.total);
        std::string name(c.total - resolved.size() - 1, 'n');
        uint16_t result = 2;
        std::string path = build(kLocation, name, &result);
        EXPECT_EQ(result, c.result);
        if (c.result == 0) {
            EXPECT_EQ(path, resolved + "/" + name);
        }
    }
}

TEST_F(CreatPath, DirectoryEndingInSeparatorKeepsBoth) {
    ASSERT_EQ(kxfsBind(8, (dir.path() + "/").c_str()), 0);
    uint16_t result = 2;
    EXPECT_EQ(build(8, "a.wav", &result), resolved + "//a.wav");
    EXPECT_EQ(result, 0);
}

TEST_F(CreatPath, RelativeDirectoryBecomesAbsolute) {
    ASSERT_EQ(kxfsBind(9, "sounds/./sub/../fx"), 0);
    uint16_t result = 2;
    std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(build(9, "b.wav", &result), cwd + "/sounds/fx/b.wav");
    EXPECT_EQ(result, 0);
}

TEST_F(CreatPath, UnresolvableLocationStopsBeforeRewriting) {
    // A relative text in the buffer would be rewritten to an absolute one if the path were
    // brought into open form after the location failed.
    for (uint32_t location : {0u, 999u}) {
        SCOPED_TRACE(location);
        char buffer[kSize] = "relative";
        EXPECT_EQ(creatPath(location, "c.wav", buffer, kSize), 1);
        EXPECT_STREQ(buffer, "relative");
    }
}

}  // namespace
