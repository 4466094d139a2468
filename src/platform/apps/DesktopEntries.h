#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrovane::platform {

// An installed desktop application, from its .desktop file.
struct DesktopEntry {
    std::string id;    // "org.mozilla.firefox", "firefox"
    std::string name;  // Name in the user's locale, else Name, else the id
    // StartupWMClass: the X11 WM_CLASS, or Wayland app_id, its windows carry
    // where that differs from the id.
    std::string startupWmClass;
    // Programs of Exec and TryExec: absolute paths (symlinks resolved when
    // they exist) and bare names that were not found on the search path.
    std::vector<std::string> binaries;
    std::vector<std::string> bareNames;
    // The application's own directory (that of its program, when that is not
    // a shared directory such as /usr/bin): every executable below it belongs
    // to this application.
    std::optional<std::string> installDir;
    // File names of Exec programs that are scripts in a shared directory
    // (/usr/bin/firefox starting /usr/lib/firefox/firefox): an executable of
    // that name anywhere belongs to this application.
    std::vector<std::string> wrapperNames;
    // Exec runs the program for one part of an application (a browser's web
    // app: --app-id, --profile-directory), not the program itself.
    bool appSpecificArguments = false;
    // Terminals (Categories has TerminalEmulator) and NoDisplay entries (a
    // desktop shell) start other programs: never the application of a
    // process that merely descends from them.
    bool startsOthers = false;
};

struct DesktopEntrySources {
    std::vector<std::string> dataDirs;    // in precedence order; entries under <dir>/applications
    std::vector<std::string> searchPath;  // where bare program names are looked up
    std::string locale;                   // "de_DE.UTF-8@euro"; empty: Name only

    // The user's: XDG_DATA_HOME, the user's Flatpak exports, XDG_DATA_DIRS,
    // the system's Flatpak exports and Snap's desktop directory; PATH; the
    // messages locale (LC_ALL, LC_MESSAGES, LANG).
    static DesktopEntrySources fromEnvironment();
};

// The desktop applications of this system, read once from the data
// directories; an id found in several directories comes from the first.
class DesktopEntries {
  public:
    static DesktopEntries load(const DesktopEntrySources& sources);

    const DesktopEntry* byId(const std::string& id) const;
    // Entries whose id begins with `prefix` (Snap's "<snap>_<app>" ids).
    const DesktopEntry* firstWithPrefix(const std::string& prefix) const;
    // The entry of a process's own executable, first tier that answers:
    //  1. an Exec or TryExec program is this executable;
    //  2. a bare program name or wrapper script name is its file name;
    //  3. the outermost install directory contains it.
    // Among entries of one tier: the one that runs the program without
    // app-specific arguments, then the one whose id or StartupWMClass names
    // the executable, then the first id.
    const DesktopEntry* byExecutable(const std::string& path) const;
    // The entry of a Wayland app_id, first rule that answers (among several
    // entries, the first id); "case aside" ignores ASCII case:
    //  1. its id is the app_id ("org.gnome.Nautilus");
    //  2. its id is the app_id, case aside ("Chromium" for chromium);
    //  3. its StartupWMClass is the app_id, case aside;
    //  4. its id ends in ".<app_id>", case aside ("firefox" for
    //     org.mozilla.firefox);
    //  5. its Name is the app_id, case aside.
    const DesktopEntry* byAppId(const std::string& appId) const;

    std::size_t size() const { return entries_.size(); }

  private:
    std::map<std::string, DesktopEntry> entries_;
};

// One .desktop file's text → an entry with the given id; nothing when it is
// not an application (Type other than Application, Hidden=true).
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, const std::string& id,
                                              const DesktopEntrySources& sources);

// The words of an Exec line after quoting.
std::vector<std::string> execWords(std::string_view exec);

// The program of an Exec line: its first word after quoting, past an `env`
// prefix (its options, "-u NAME" included, and NAME=value words); nothing
// for interpreters and launchers (sh, python3, flatpak...), whose name says
// nothing about the application.
std::optional<std::string> execProgram(std::string_view exec);

}  // namespace ostrovane::platform
