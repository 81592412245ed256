// SPDX-License-Identifier: Apache-2.0
// Path services: the strlcat contract, the normalised form of paths, and locations (the default
// location 1, bound locations, unbound ones, buffers too small).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/files/kxfs.h"
#include "platform/files/kxfs_host.h"

namespace {

std::string currentDirectory() {
    char buffer[4096];
    EXPECT_NE(getcwd(buffer, sizeof buffer), nullptr);
    return buffer;
}

class PathServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { kx::kxfsReset(); }
    void TearDown() override { kx::kxfsReset(); }
};

TEST_F(PathServiceTest, StrlcatFollowsTheBsdContract) {
    struct Case {
        const char* what;
        std::vector<char> dst;  // initial buffer contents (size = dst.size())
        const char* src;
        size_t result;
        std::string after;  // the buffer's bytes afterwards, as far as they are defined
    };
    std::vector<Case> cases = {
        {"fits", {'a', 'b', 0, '#', '#', '#', '#', '#'}, "cd", 4, std::string("abcd\0", 5)},
        {"exactly fits", {'a', 'b', 0, '#', '#'}, "cd", 4, std::string("abcd\0", 5)},
        {"cut by one", {'a', 'b', 0, '#'}, "cd", 4, std::string("abc\0", 4)},
        {"cut to nothing", {'a', 'b', 0}, "cd", 4, std::string("ab\0", 3)},
        {"empty src", {'a', 0, '#'}, "", 1, std::string("a\0#", 3)},
        {"empty dst", {0, '#', '#'}, "xyz", 3, std::string("xy\0", 3)},
        {"size 1", {0}, "xyz", 3, std::string("\0", 1)},
        {"no terminator within size", {'a', 'b', 'c'}, "xy", 5, "abc"},
        {"size 0", {}, "xyz", 3, ""},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer = c.dst;
        buffer.push_back('G');  // a guard byte past size
        size_t size = c.dst.size();
        EXPECT_EQ(kx::kxstrlcat(buffer.data(), c.src, size), c.result) << c.what;
        EXPECT_EQ(std::string(buffer.data(), c.after.size()), c.after) << c.what;
        EXPECT_EQ(buffer[size], 'G') << c.what << ": nothing written beyond size";
    }
    EXPECT_EQ(kx::kxstrlcat(nullptr, "abc", 0), 3u);
}

TEST_F(PathServiceTest, DeviceFormIsAbsoluteResolvedAndFolded) {
    std::string cwd = currentDirectory();
    std::string cwdSlash = cwd == "/" ? "/" : cwd + "/";
    struct Case {
        std::string in;
        std::string out;
    };
    std::vector<Case> cases = {
        {"/tmp/x", "/tmp/x"},
        {"/tmp/x/", "/tmp/x/"},
        {"/tmp//x///y", "/tmp/x/y"},
        {"/tmp/x//", "/tmp/x/"},
        {"/tmp/./x/.", "/tmp/x"},
        {"/tmp/x/../y", "/tmp/y"},
        {"/tmp/x/..", "/tmp"},
        {"/tmp/x/../", "/tmp/"},
        {"/..", "/"},
        {"/../../a", "/a"},
        {"/", "/"},
        {"//", "/"},
        {"/.../a", "/.../a"},
        {"/a/..b/c", "/a/..b/c"},
        {"sounds", cwdSlash + "sounds"},
        {"./sounds/", cwdSlash + "sounds/"},
        {".", cwd},
    };
    for (const Case& c : cases) {
        char out[512];
        ASSERT_EQ(kx::kxfsDevice(c.in.c_str(), out, sizeof out, 0), 0) << c.in;
        EXPECT_EQ(std::string(out), c.out) << c.in;
    }
}

TEST_F(PathServiceTest, DeviceFormInPlaceAndItsFailures) {
    char buffer[32] = "/a/b/../c//";
    ASSERT_EQ(kx::kxfsDevice(buffer, buffer, sizeof buffer, 0), 0);
    EXPECT_STREQ(buffer, "/a/c/");

    char out[8];
    EXPECT_EQ(kx::kxfsDevice("/abcdefg", out, 8, 0), kx::KXFS_ERR_SIZE);
    EXPECT_EQ(kx::kxfsDevice("/abcdef", out, 8, 0), 0) << "seven characters and the terminator";
    EXPECT_EQ(kx::kxfsDevice("", out, 8, 0), kx::KXFS_ERR_PATH);
    EXPECT_EQ(kx::kxfsDevice(nullptr, out, 8, 0), kx::KXFS_ERR_PATH);
    EXPECT_EQ(kx::kxfsDevice("/a", out, 8, 1), kx::KXFS_ERR_PATH) << "flags must be 0";
}

TEST_F(PathServiceTest, LocationsResolveToTheirDirectories) {
    char buffer[512];
    ASSERT_EQ(kx::kxfsPath(1, buffer, sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer), currentDirectory()) << "location 1 defaults to the cwd";

    ASSERT_EQ(kx::kxfsBind(7, "/tmp/x/"), 0);
    ASSERT_EQ(kx::kxfsPath(7, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "/tmp/x/") << "bound text is returned as given";
    // What the module then builds: the device form keeps the slash, and it appends "/name".
    ASSERT_EQ(kx::kxfsDevice(buffer, buffer, sizeof buffer, 0), 0);
    kx::kxstrlcat(buffer, "/", sizeof buffer);
    kx::kxstrlcat(buffer, "name", sizeof buffer);
    EXPECT_STREQ(buffer, "/tmp/x//name");

    ASSERT_EQ(kx::kxfsBind(1, "/srv"), 0);
    ASSERT_EQ(kx::kxfsPath(1, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "/srv");
    kx::kxfsReset();
    EXPECT_EQ(kx::kxfsPath(7, buffer, sizeof buffer), kx::KXFS_ERR_LOCATION);
    ASSERT_EQ(kx::kxfsPath(1, buffer, sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer), currentDirectory());
}

TEST_F(PathServiceTest, UnboundLocationsAndSmallBuffersFail) {
    char buffer[16];
    EXPECT_EQ(kx::kxfsPath(0, buffer, sizeof buffer), kx::KXFS_ERR_LOCATION);
    EXPECT_EQ(kx::kxfsPath(2, buffer, sizeof buffer), kx::KXFS_ERR_LOCATION);
    EXPECT_EQ(kx::kxfsPath(0xFFFFFFFF, buffer, sizeof buffer), kx::KXFS_ERR_LOCATION);
    EXPECT_EQ(kx::kxfsBind(0, "/tmp"), kx::KXFS_ERR_LOCATION);
    EXPECT_EQ(kx::kxfsBind(3, ""), kx::KXFS_ERR_PATH);
    EXPECT_EQ(kx::kxfsBind(3, nullptr), kx::KXFS_ERR_PATH);

    ASSERT_EQ(kx::kxfsBind(3, "/abcdef"), 0);
    EXPECT_EQ(kx::kxfsPath(3, buffer, 7), kx::KXFS_ERR_SIZE);
    EXPECT_EQ(kx::kxfsPath(3, buffer, 0), kx::KXFS_ERR_SIZE);
    ASSERT_EQ(kx::kxfsPath(3, buffer, 8), 0);
    EXPECT_STREQ(buffer, "/abcdef");

    char directory[] = "/changed";
    ASSERT_EQ(kx::kxfsBind(4, directory), 0);
    std::strcpy(directory, "/later");
    ASSERT_EQ(kx::kxfsPath(4, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "/changed") << "the directory is copied at binding";
}

}  // namespace
