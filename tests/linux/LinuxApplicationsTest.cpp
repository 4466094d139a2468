// Which desktop application a process belongs to, against a fake /proc and
// fake data directories in a temporary folder, read through the detector as
// the parent sees it.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "integration/monitoring/MicAppFixture.h"
#include "platform/apps/AppIdOwners.h"
#include "platform/apps/LinuxApplications.h"

namespace ostrovane::monitoring::testing {
namespace {

namespace fs = std::filesystem;

class FakeSystem {
  public:
    FakeSystem() {
        std::string templ = (fs::temp_directory_path() / "ostrovane-apps-XXXXXX").string();
        root_ = ::mkdtemp(templ.data());
    }
    ~FakeSystem() {
        std::error_code error;
        fs::remove_all(root_, error);
    }

    void entry(const std::string& dataDir, const std::string& relative, const std::string& body) {
        write(root_ / dataDir / "applications" / relative,
              "[Desktop Entry]\nType=Application\n" + body);
    }
    void process(platform::Pid pid, platform::Pid parent, const std::string& exe,
                 const std::string& unit) {
        const fs::path dir = root_ / "proc" / std::to_string(pid);
        fs::create_directories(dir);
        fs::create_symlink(exe, dir / "exe");
        write(dir / "stat",
              std::to_string(pid) + " (a (b) c) S " + std::to_string(parent) + " 1 1");
        write(dir / "cgroup",
              "0::/user.slice/user-1000.slice/user@1000.service/app.slice/" + unit + "\n");
    }
    platform::ApplicationSources sources() const {
        return {
            (root_ / "proc").string(),
            platform::DesktopEntrySources{{(root_ / "home").string(), (root_ / "flatpak").string(),
                                           (root_ / "usr").string(), (root_ / "snap").string()},
                                          {(root_ / "bin").string()},
                                          "de_DE.UTF-8"}};
    }
    const fs::path& root() const { return root_; }

  private:
    static void write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    fs::path root_;
};

class LinuxApplicationsTest : public MicAppFixture {
  protected:
    void SetUp() override {
        // clang-format off
        const std::vector<std::tuple<std::string, std::string, std::string>> entries{
            {"usr", "firefox-esr.desktop", "Name=Firefox ESR\nName[de]=Firefox-Browser\nExec=/usr/lib/firefox-esr/firefox-esr %u\n"},
            {"flatpak", "org.mozilla.firefox.desktop", "Name=Firefox\nExec=/usr/bin/flatpak run --branch=stable org.mozilla.firefox @@u %u @@\n"},
            {"snap", "spotify_spotify.desktop", "Name=Spotify\nExec=env BAMF=1 /snap/bin/spotify %U\n"},
            {"usr", "slack.desktop", "Name=Slack\nExec=\"/opt/Slack/slack\" --gpu %U\n"},
            {"usr", "kde/org.kde.kwrite.desktop", "Name=KWrite\nExec=kwrite %U\nTryExec=kwrite\n"},
            {"usr", "suite.desktop", "Name=Suite\nExec=/opt/suite/launch\n"},
            {"usr", "suite-writer.desktop", "Name=Writer\nExec=/opt/suite/writer/bin/writer\n"},
            {"usr", "hidden.desktop", "Name=Hidden\nExec=/opt/hidden/hidden\n"},
            {"home", "hidden.desktop", "Name=Hidden\nHidden=true\n"},
            {"usr", "python-tool.desktop", "Name=Tool\nExec=python3 /opt/tool.py\n"},
            {"usr", "codium.desktop", "Name=VS Codium\nStartupWMClass=VSCodium\nExec=/usr/share/codium/codium\n"},
            {"usr", "kitty.desktop", "Name=kitty\nExec=/usr/bin/kitty\nCategories=System;TerminalEmulator;\n"},
            {"usr", "foot.desktop", "Name=Foot\nExec=/usr/bin/foot\nCategories=TerminalEmulator;System;\n"},
            {"usr", "org.gnome.Shell.desktop", "Name=GNOME Shell\nNoDisplay=true\nExec=/usr/bin/gnome-shell\n"},
            {"usr", "google-chrome.desktop", "Name=Google Chrome\nExec=/opt/google/chrome/google-chrome %U\n"},
            {"home", "chrome-kjgfgldnnfoeklkmfkjfagphfepbbdan-Default.desktop", "Name=Google Meet\nStartupWMClass=crx_kjgfgldnnfoeklkmfkjfagphfepbbdan\nExec=/opt/google/chrome/google-chrome --profile-directory=Default --app-id=kjgfgldnnfoeklkmfkjfagphfepbbdan\n"},
            {"usr", "firefox.desktop", "Name=Firefox Web Browser\nExec=firefox %u\n"},
            {"usr", "audacity.desktop", "Name=Audacity\nExec=env -u GDK_BACKEND UBUNTU_MENUPROXY=0 /opt/audacity/audacity %F\n"},
        };
        // clang-format on
        for (const auto& [dir, file, body] : entries)
            sys.entry(dir, file, body);
        fs::create_directories(sys.root() / "bin");
        std::ofstream(sys.root() / "bin" / "kwrite") << "";
        std::ofstream(sys.root() / "bin" / "firefox")
            << "#!/bin/sh\nexec /usr/lib/firefox/firefox\n";
        applications = std::make_shared<platform::LinuxApplications>(
            platform::logind::LogindWakeWatcher::Options{"unix:path=/nonexistent/bus",
                                                         std::chrono::seconds(3)},
            sys.sources());
        platform.applications = applications;
        platform.audioInputLog.daemonNames = {"pipewire"};
    }

    FakeSystem sys;
    std::shared_ptr<platform::LinuxApplications> applications;
};

struct Case {
    const char* what;
    platform::Pid pid, parent;
    std::string exe, unit;
    std::optional<std::pair<std::string, std::string>> expected;  // bundle id, app name
};

TEST_F(LinuxApplicationsTest, ProcessesResolveToTheApplicationTheUserSees) {
    const std::string kwrite = (sys.root() / "bin" / "kwrite").string();
    const std::string session = "session-2.scope", kitty = "app-gnome-kitty-555.scope",
                      foot = "app-sway-foot-556.scope";
    sys.process(10, 1, "/usr/bin/gnome-shell", session);
    sys.process(11, 10, "/usr/bin/kitty", kitty);
    sys.process(12, 10, "/usr/bin/foot", foot);
    // clang-format off
    const std::vector<Case> cases{
        {"systemd scope, escaped id, localized name", 100, 10, "/usr/libexec/crashreporter", "app-gnome-firefox\\x2desr-4321.scope", {{"firefox-esr", "Firefox-Browser"}}},
        {"Flatpak scope", 101, 10, "/app/lib/firefox/firefox", "app-flatpak-org.mozilla.firefox-77.scope", {{"org.mozilla.firefox", "Firefox"}}},
        {"snapd's scope", 102, 10, "/snap/spotify/70/usr/share/spotify/spotify", "snap.spotify.spotify-1b2c3d4e-0000-4000-8000-000000000000.scope", {{"spotify_spotify", "Spotify"}}},
        {"Exec program", 103, 10, "/opt/Slack/slack", session, {{"slack", "Slack"}}},
        {"Electron helper in the install directory", 104, 103, "/opt/Slack/chrome_crashpad_handler", session, {{"slack", "Slack"}}},
        {"ancestor in the same cgroup", 105, 103, "/usr/bin/cat", session, {{"slack", "Slack"}}},
        {"ancestor beyond a cgroup boundary", 106, 103, "/usr/bin/cat", "run-r42.scope", {{"path:/usr/bin/cat", "cat"}}},
        {"program on the search path, id from a subdirectory", 107, 10, kwrite, session, {{"kde-org.kde.kwrite", "KWrite"}}},
        {"outermost install directory", 108, 10, "/opt/suite/writer/bin/writer-helper", session, {{"suite", "Suite"}}},
        {"hidden by the user's entry", 109, 10, "/opt/hidden/hidden", session, {{"path:/opt/hidden/hidden", "hidden"}}},
        {"interpreter is no application", 110, 10, "/usr/bin/python3.11", session, {{"path:/usr/bin/python3.11", "python3"}}},
        {"own entry in a terminal's scope", 111, 11, "/opt/Slack/slack", kitty, {{"slack", "Slack"}}},
        {"plain program in a terminal", 113, 11, "/usr/bin/arecord", kitty, {{"path:/usr/bin/arecord", "arecord"}}},
        {"terminal listed first among its categories", 112, 12, "/usr/bin/arecord", foot, {{"path:/usr/bin/arecord", "arecord"}}},
        {"plain program under the desktop shell", 114, 10, "/usr/bin/pw-record", session, {{"path:/usr/bin/pw-record", "pw-record"}}},
        {"browser beside its web apps", 115, 10, "/opt/google/chrome/chrome", session, {{"google-chrome", "Google Chrome"}}},
        {"wrapper script on the search path", 116, 10, "/usr/lib/firefox/firefox", session, {{"firefox", "Firefox Web Browser"}}},
        {"env -u before the program", 117, 10, "/opt/audacity/audacity", session, {{"audacity", "Audacity"}}},
        {"path that is not UTF-8", 118, 1, "/opt/rec\xFF/rec", session, {{"path:/opt/rec\xEF\xBF\xBD/rec", "rec"}}},
        {"daemon name in a folder only", 119, 1, "/opt/pipewire-tools/recorder", session, {{"path:/opt/pipewire-tools/recorder", "recorder"}}},
        {"the sound server", 120, 1, "/usr/bin/pipewire", "pipewire.service", std::nullopt},
        {"known only by its log name", 121, 0, "", "", {{"process:rec", "rec"}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        if (!c.exe.empty())
            sys.process(c.pid, c.parent, c.exe, c.unit);
    }
    start();
    // The event a recording by `pid` starts: null for none, a list for several.
    const auto appOf = [&](platform::Pid pid) {
        say("rec", pid, true);
        const auto events = records(fresh(), "MIC_APP_EVENT:");
        return events.size() == 1 ? events[0]
               : events.empty()   ? nlohmann::json()
                                  : nlohmann::json(events);
    };
    for (const auto& c : cases) {
        auto app = appOf(c.pid);
        ASSERT_EQ(app.is_null(), !c.expected) << c.what << app.dump();
        if (c.expected) {
            EXPECT_EQ(app["bundleId"], c.expected->first) << c.what;
            EXPECT_EQ(app["appName"], c.expected->second) << c.what;
        }
        say("rec", c.pid, false);
    }

    // An application installed since the entries were read is found.
    sys.entry("usr", "recorder.desktop", "Name=Recorder\nExec=/opt/recorder/recorder\n");
    sys.process(130, 1, "/opt/recorder/recorder", session);
    EXPECT_EQ(appOf(130)["bundleId"], "recorder");

    // A plain program that now has the pid of an application gone since is
    // itself, not that application.
    sys.process(131, 1, "/opt/Slack/slack", session);
    say("rec", 131, true);
    say("rec", 131, false);
    fs::remove_all(sys.root() / "proc" / "131");
    sys.process(131, 1, "/usr/bin/arecord", session);
    fresh();
    EXPECT_EQ(appOf(131)["bundleId"], "path:/usr/bin/arecord");
    say("rec", 131, false);
    fs::remove_all(sys.root() / "proc" / "131");

    // The listing walks the table once and names each process's own application.
    std::map<platform::Pid, std::string> listed;
    for (const auto& app : applications->runningApplications())
        listed[app.pid] = app.bundleIdentifier.value_or("");
    // clang-format off
    EXPECT_EQ(listed, (std::map<platform::Pid, std::string>{
        {10, "org.gnome.Shell"}, {11, "kitty"}, {12, "foot"}, {100, "firefox-esr"}, {101, "org.mozilla.firefox"},
        {102, "spotify_spotify"}, {103, "slack"}, {104, "slack"}, {107, "kde-org.kde.kwrite"},
        {108, "suite"}, {111, "slack"}, {115, "google-chrome"}, {116, "firefox"},
        {117, "audacity"}, {130, "recorder"}}));
    // clang-format on
}

// A Wayland window names only its app_id; the owner the window list shows
// comes from the desktop entries alone.
TEST_F(LinuxApplicationsTest, AppIdsResolveToTheirDesktopApplication) {
    platform::AppIdOwners owners(sys.sources().desktop);
    // clang-format off
    const std::vector<std::tuple<const char*, std::string, std::optional<std::pair<std::string, std::string>>>> cases{
        {"the id, localized name", "firefox-esr", {{"firefox-esr", "Firefox-Browser"}}},
        {"the id in another case", "SLACK", {{"slack", "Slack"}}},
        {"StartupWMClass", "vscodium", {{"codium", "VS Codium"}}},
        {"reverse-DNS id", "kwrite", {{"kde-org.kde.kwrite", "KWrite"}}},
        {"the name", "writer", {{"suite-writer", "Writer"}}},
        {"hidden by the user's entry", "hidden", std::nullopt},
        {"no application", "rec-tool", std::nullopt},
        {"no app_id", "", std::nullopt},
    };
    // clang-format on
    for (const auto& [what, appId, expected] : cases) {
        const auto owner = owners.owner(appId);
        ASSERT_EQ(owner.has_value(), expected.has_value()) << what;
        if (owner) {
            EXPECT_EQ(std::make_pair(owner->bundleIdentifier, owner->applicationName), *expected)
                << what;
        }
    }
    // An application installed since the entries were read is found by a
    // new app_id.
    sys.entry("usr", "recorder.desktop", "Name=Recorder\nExec=/usr/local/bin/recorder\n");
    const auto installed = owners.owner("recorder");
    ASSERT_TRUE(installed.has_value());
    EXPECT_EQ(installed->applicationName, "Recorder");
}

}  // namespace
}  // namespace ostrovane::monitoring::testing
