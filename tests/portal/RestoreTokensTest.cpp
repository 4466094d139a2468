// The restore-token store: one file, private to the user, replaced whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/portal/RestoreTokens.h"

namespace ostrovane::test {
namespace {

using platform::portal::RestoreTokens;
namespace fs = std::filesystem;

class RestoreTokensTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrovane-tokens.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
        file = directory / "state" / "ostrovane" / "portal-tokens";
    }
    void TearDown() override { fs::remove_all(directory); }

    fs::path directory;
    fs::path file;
};

TEST_F(RestoreTokensTest, TokensOutliveTheStoreInAPrivateFileReplacedWhole) {
    RestoreTokens writer(file);
    // What the file cannot hold is refused, and nothing is written for it.
    EXPECT_FALSE(writer.store("monitor\t1", "token"));
    EXPECT_FALSE(writer.store("monitor", "to\nken"));
    EXPECT_FALSE(writer.store("", "token"));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(RestoreTokens({}).store("monitor", "token"));

    ASSERT_TRUE(writer.store("monitor:DP-1", "first"));
    ASSERT_TRUE(writer.store("window:firefox", "second"));
    ASSERT_TRUE(writer.store("monitor:DP-1", "third"));
    ASSERT_TRUE(writer.forget("window:firefox"));
    ASSERT_TRUE(writer.forget("never-stored"));

    const RestoreTokens reader(file);
    EXPECT_EQ(reader.find("monitor:DP-1"), "third");
    EXPECT_EQ(reader.find("window:firefox"), std::nullopt);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms(0700));
    EXPECT_EQ(fs::status(directory / "state").permissions(), fs::perms(0700));
    // Only the store itself: no file it was written through is left.
    std::vector<fs::path> entries(fs::directory_iterator(file.parent_path()), {});
    EXPECT_EQ(entries, std::vector<fs::path>{file});
}

// A file with any line not of the store's making is not trusted at all:
// after a good line, one without a tab, one cut short, a token holding a tab
// or a NUL.
TEST_F(RestoreTokensTest, DamagedFileIsAnEmptyStoreAndIsReplacedOnStore) {
    const std::string damaged[] = {"no tab\n", "c\td", "c\td\te\n", std::string("c\td\0\n", 5)};
    fs::create_directories(file.parent_path());
    for (const std::string& tail : damaged) {
        SCOPED_TRACE(testing::PrintToString(tail));
        std::ofstream(file, std::ios::binary | std::ios::trunc) << "a\tb\n" + tail;
        RestoreTokens tokens(file);
        EXPECT_EQ(tokens.find("a"), std::nullopt);
        ASSERT_TRUE(tokens.store("monitor:DP-2", "fresh"));
        EXPECT_EQ(tokens.find("monitor:DP-2"), "fresh");
    }
}

}  // namespace
}  // namespace ostrovane::test
