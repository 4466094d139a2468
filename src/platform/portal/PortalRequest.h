#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/PlatformError.h"
#include "platform/dbus/SdBus.h"

namespace ostrovane::platform::portal {

// One portal method that answers with a Request object, and the wait for
// that request's Response. The request's path follows from our unique name
// and a fresh token, so its Response is subscribed to before the call goes
// out and an answer sent at once is not missed. Used on one thread, with the
// connection it was made for.
class PortalRequest {
  public:
    // `portal`: the portal's unique name, the only sender whose Response counts.
    PortalRequest(sd_bus* bus, std::string portal);

    PortalRequest(const PortalRequest&) = delete;
    PortalRequest& operator=(const PortalRequest&) = delete;

    // The handle_token the call's options must carry.
    const std::string& token() const { return token_; }

    // After a failed run: the Response code the portal answered with (0
    // when none came), and whether the method call itself was refused.
    std::uint32_t response() const { return code_; }
    bool refused() const { return refused_; }

    // Sends `call` (waiting at most `callLimit` for the request's handle) and
    // waits until `answerBy` for the Response. The results (the message
    // standing at the a{sv}) once granted. Errors: `late` when no answer came
    // in time (the request is then closed, and with it any dialog it shows),
    // sessionClosedError() once `abandon` holds, userDeclinedError() when the
    // user cancelled, kPortalFailedCode for any other failure.
    Result<dbus::MessagePtr> run(sd_bus_message* call, const std::string& method,
                                 std::chrono::milliseconds callLimit,
                                 dbus::Clock::time_point answerBy, const Error& late,
                                 const std::function<bool()>& abandon = {});

  private:
    void close(std::chrono::milliseconds limit);
    static int onResponse(sd_bus_message* signal, void* userdata, sd_bus_error*);
    bool subscribe();

    sd_bus* bus_;
    std::string portal_;
    std::string token_;
    std::string path_;  // the request's object, once known
    dbus::SlotPtr match_;
    dbus::MessagePtr response_;  // standing at the results
    std::uint32_t code_ = 0;
    bool refused_ = false;
};

// A token for a request or session handle: our name and 64 random bits.
std::string newHandleToken();

// The path the portal gives the request `token` of the client `uniqueName`.
std::string requestPath(const std::string& uniqueName, const std::string& token);

}  // namespace ostrovane::platform::portal
