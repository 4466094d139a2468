#include "portal/FakePortal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace ostrovane::test {

namespace sdbus = platform::portal::sdbus;

namespace {

const sd_bus_vtable kScreenCast[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("version", "u", FakePortal::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AvailableSourceTypes", "u", FakePortal::property, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AvailableCursorModes", "u", FakePortal::property, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("CreateSession", "a{sv}", "o", FakePortal::onMethod, 0),
    SD_BUS_METHOD("SelectSources", "oa{sv}", "o", FakePortal::onMethod, 0),
    SD_BUS_METHOD("Start", "osa{sv}", "o", FakePortal::onMethod, 0),
    SD_BUS_METHOD("OpenPipeWireRemote", "oa{sv}", "h", FakePortal::onMethod, 0),
    SD_BUS_VTABLE_END};

// Request.Close and Session.Close alike.
const sd_bus_vtable kClosable[] = {SD_BUS_VTABLE_START(0),
                                   SD_BUS_METHOD("Close", "", "", FakePortal::onClose, 0),
                                   SD_BUS_VTABLE_END};

// The path of the object `token` of the call's sender: its unique name
// without the colon, dots as underscores.
std::string objectPath(const char* kind, sd_bus_message* call, const std::string& token) {
    std::string sender = sd_bus_message_get_sender(call) + 1;
    std::replace(sender.begin(), sender.end(), '.', '_');
    return std::string("/org/freedesktop/portal/desktop/") + kind + "/" + sender + "/" + token;
}

}  // namespace

FakePortal::FakePortal(const std::string& address, Script script) : script_(std::move(script)) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        return;
    bus_.reset(raw);
    sd_bus_slot* slot = nullptr;
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
        sd_bus_start(raw) < 0 ||
        (script_.screenCast &&
         sd_bus_add_object_vtable(raw, &slot, "/org/freedesktop/portal/desktop",
                                  "org.freedesktop.portal.ScreenCast", kScreenCast, this) < 0) ||
        sd_bus_request_name(raw, "org.freedesktop.portal.Desktop", 0) < 0) {
        return;
    }
    objects_.emplace_back(slot);
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    thread_ = std::thread([this] { serve(); });
}

FakePortal::~FakePortal() {
    if (!thread_.joinable())
        return;
    stopping_ = true;
    eventfd_write(wake_.get(), 1);
    thread_.join();
}

void FakePortal::record(const std::string& call) {
    std::lock_guard lock(mutex_);
    seen_.calls.push_back(call);
}

FakePortal::Seen FakePortal::seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

void FakePortal::serve() {
    while (!stopping_) {
        int r = 0;
        while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
        }
        if (r < 0)
            return;  // the bus went away
        pollfd fds[2] = {
            {sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0},
            {wake_.get(), POLLIN, 0}};
        poll(fds, 2, 1000);
        eventfd_t ignored = 0;
        eventfd_read(wake_.get(), &ignored);
    }
}

int FakePortal::property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                         void* self, sd_bus_error*) {
    const Script& script = static_cast<FakePortal*>(self)->script_;
    const std::string property = name;
    return sd_bus_message_append(reply, "u",
                                 property == "version"                ? script.version
                                 : property == "AvailableSourceTypes" ? script.sourceTypes
                                                                      : script.cursorModes);
}

int FakePortal::onMethod(sd_bus_message* call, void* self, sd_bus_error*) {
    auto& portal = *static_cast<FakePortal*>(self);
    const std::string method = sd_bus_message_get_member(call);
    portal.record(method);
    if (method != "OpenPipeWireRemote")
        return portal.request(call, method);
    int ends[2];
    if (pipe(ends) < 0)
        return -errno;
    const UniqueFd reading(ends[0]);
    const UniqueFd writing(ends[1]);
    if (write(writing.get(), &kRemoteByte, 1) != 1)
        return -EIO;
    int r = sd_bus_reply_method_return(call, "h", reading.get());  // the reply holds a copy
    for (int i = 0; portal.script_.closeWhenOpened && i < 2 && r >= 0; ++i) {
        r = sd_bus_emit_signal(portal.bus_.get(), portal.sessionPath_.c_str(),
                               "org.freedesktop.portal.Session", "Closed", "a{sv}", 0);
    }
    return r;
}

int FakePortal::onClose(sd_bus_message* call, void* self, sd_bus_error*) {
    const std::string interface = sd_bus_message_get_interface(call);
    static_cast<FakePortal*>(self)->record(interface.substr(interface.rfind('.') + 1) + ".Close");
    return sd_bus_reply_method_return(call, "");
}

// A method answered with a Request: its options are read (and SelectSources'
// recorded), the handle returned, then the scripted Response sent.
int FakePortal::request(sd_bus_message* call, const std::string& method) {
    if (method != "CreateSession")
        sd_bus_message_skip(call, method == "Start" ? "os" : "o");
    std::map<std::string, std::string> strings;
    std::map<std::string, std::uint32_t> numbers;
    sdbus::readDict(call, [&](const std::string& key, sd_bus_message* value) {
        const char* text = nullptr;
        std::uint32_t number = 0;
        int truth = 0;
        if (sdbus::readVariant(value, 's', text) > 0)
            strings[key] = text;
        else if (sdbus::readVariant(value, 'u', number) > 0)
            numbers[key] = number;
        else if (sdbus::readVariant(value, 'b', truth) > 0)
            numbers[key] = truth;
        else
            return 0;
        return 1;
    });
    if (method == "SelectSources") {
        std::lock_guard lock(mutex_);
        seen_.selected = numbers;
        if (strings.count("restore_token"))
            seen_.restoreToken = strings["restore_token"];
    }
    const std::string handle = objectPath("request", call, strings["handle_token"]);
    sd_bus_slot* slot = nullptr;
    if (method == "CreateSession") {
        sessionPath_ = objectPath("session", call, strings["session_handle_token"]);
        sd_bus_add_object_vtable(bus_.get(), &slot, sessionPath_.c_str(),
                                 "org.freedesktop.portal.Session", kClosable, this);
    } else if (method == "Start" && script_.silentStart) {
        sd_bus_add_object_vtable(bus_.get(), &slot, handle.c_str(),
                                 "org.freedesktop.portal.Request", kClosable, this);
    }
    if (slot)
        objects_.emplace_back(slot);
    const int r = sd_bus_reply_method_return(call, "o", handle.c_str());
    if (r < 0 || (method == "Start" && script_.silentStart))
        return r;
    const std::uint32_t code = method == "CreateSession"   ? script_.createCode
                               : method == "SelectSources" ? script_.selectCode
                                                           : script_.startCode;
    return respond(handle, code, method);
}

int FakePortal::respond(const std::string& handle, std::uint32_t code, const std::string& method) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(bus_.get(), &raw, handle.c_str(),
                                      "org.freedesktop.portal.Request", "Response");
    const sdbus::MessagePtr signal(raw);
    if (r < 0 || (r = sd_bus_message_append(raw, "u", code)) < 0 ||
        (r = sd_bus_message_open_container(raw, 'a', "{sv}")) < 0) {
        return r;
    }
    if (method == "CreateSession")
        r = sdbus::appendEntry(raw, "session_handle", "s", sessionPath_.c_str());
    if (method == "Start" && script_.streams && r >= 0) {
        r = sdbus::appendEntry(raw, "streams", "a(ua{sv})", 1, kNode, 2, "size", "(ii)", kWidth,
                               kHeight, "source_type", "u", 1u);
    }
    if (method == "Start" && !script_.restoreToken.empty() && r >= 0)
        r = sdbus::appendEntry(raw, "restore_token", "s", script_.restoreToken.c_str());
    if (r < 0 || (r = sd_bus_message_close_container(raw)) < 0)
        return r;
    return sd_bus_send(bus_.get(), raw, nullptr);
}

}  // namespace ostrovane::test
