#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace ostrovane::platform::portal {

// The newest restore token of each capture target, kept in one file of the
// user's state directory so that the portal asks the user once per target,
// not at every start. The file is mode 0600 and replaced atomically (written
// beside it, then renamed); a missing or unreadable file is an empty store.
// Tokens are single-use: the caller stores the one every successful start
// returns and forgets the old one when a start returns none.
class RestoreTokens {
  public:
    // An empty path: a store that remembers nothing.
    explicit RestoreTokens(std::filesystem::path file);

    // $XDG_STATE_HOME/ostrovane/portal-tokens, else
    // $HOME/.local/state/ostrovane/portal-tokens; empty when neither is set.
    static std::filesystem::path defaultFile();

    std::optional<std::string> find(const std::string& target) const;
    // False when the file could not be written (the token is then not kept).
    bool store(const std::string& target, const std::string& token);
    bool forget(const std::string& target);

    const std::filesystem::path& file() const { return file_; }

  private:
    std::filesystem::path file_;
};

}  // namespace ostrovane::platform::portal
