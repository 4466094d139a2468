// The restore-token store: one file, private to the user, replaced whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

    static unsigned mode(const fs::path& path) {
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
    }

    fs::path directory;
    fs::path file;
};

TEST_F(RestoreTokensTest, TokensOutliveTheStoreInAPrivateFileReplacedWhole) {
    RestoreTokens writer(file);
    ASSERT_TRUE(writer.store("monitor:DP-1", "first"));
    ASSERT_TRUE(writer.store("window:firefox", "second"));
    ASSERT_TRUE(writer.store("monitor:DP-1", "third"));
    ASSERT_TRUE(writer.forget("window:firefox"));
    ASSERT_TRUE(writer.forget("never-stored"));

    const RestoreTokens reader(file);
    EXPECT_EQ(reader.find("monitor:DP-1"), "third");
    EXPECT_EQ(reader.find("window:firefox"), std::nullopt);
    EXPECT_EQ(mode(file), 0600u);
    EXPECT_EQ(mode(file.parent_path()), 0700u);
    EXPECT_EQ(mode(file.parent_path().parent_path()), 0700u);
    // Only the store itself: no file it was written through is left.
    std::vector<fs::path> entries(fs::directory_iterator(file.parent_path()), {});
    EXPECT_EQ(entries, std::vector<fs::path>{file});
}

TEST_F(RestoreTokensTest, DamagedFileIsAnEmptyStoreAndIsReplacedOnStore) {
    const std::string damaged[] = {"no tab here\n", "monitor:DP-1\ttoken", "\n", "a\tb\tc\n",
                                   std::string("a\tb\0c\n", 6)};
    for (const std::string& text : damaged) {
        SCOPED_TRACE(testing::PrintToString(text));
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        RestoreTokens tokens(file);
        EXPECT_EQ(tokens.find("monitor:DP-1"), std::nullopt);
        EXPECT_EQ(tokens.find("a"), std::nullopt);
        ASSERT_TRUE(tokens.store("monitor:DP-2", "fresh"));
        EXPECT_EQ(tokens.find("monitor:DP-2"), "fresh");
    }
}

TEST_F(RestoreTokensTest, RefusesWhatTheFileCannotHold) {
    RestoreTokens tokens(file);
    EXPECT_FALSE(tokens.store("monitor\t1", "token"));
    EXPECT_FALSE(tokens.store("monitor", "to\nken"));
    EXPECT_FALSE(tokens.store("", "token"));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(RestoreTokens({}).store("monitor", "token"));
}

}  // namespace
}  // namespace ostrovane::test
