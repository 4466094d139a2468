#include "servers/PrivateSystemBus.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "servers/TiedProcess.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {

namespace {

namespace sdbus = platform::dbus;

constexpr std::chrono::seconds kCallLimit{5};

// Started as startTied does; nothing unless it answers on `socket` within 5 s.
std::unique_ptr<Subprocess> startListening(const std::vector<std::string>& argv,
                                           Subprocess::Options options, const std::string& socket) {
    auto process = startTied(argv, std::move(options));
    if (process && waitUntil([&] { return socketAnswers(socket); }, std::chrono::seconds(5)))
        return process;
    return nullptr;
}

// Everyone may connect, own any name, and send and receive anything.
std::string configuration(const std::string& socket) {
    return "<busconfig><type>system</type><listen>unix:path=" + socket +
           "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
           "<allow own=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
           "<allow eavesdrop=\"true\"/></policy></busconfig>\n";
}

}  // namespace

PrivateSystemBus::PrivateSystemBus() {
    char pattern[] = "/tmp/ostrovane-bus.XXXXXX";
    if (!mkdtemp(pattern)) {
        failure_ = "cannot create a temporary directory";
        return;
    }
    directory_ = pattern;
    socket_ = directory_ + "/bus";
    std::ofstream(directory_ + "/bus.conf") << configuration(socket_);
    ready_ = start();
}

PrivateSystemBus::~PrivateSystemBus() {
    if (daemon_) {
        daemon_->kill(SIGTERM);
        daemon_->waitForExit(std::chrono::seconds(5));
        daemon_.reset();  // kills and reaps one that did not stop
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

void PrivateSystemBus::kill() {
    daemon_.reset();
    ready_ = false;
}

bool PrivateSystemBus::restart() {
    kill();
    ready_ = start();
    return ready_;
}

bool PrivateSystemBus::start() {
    std::error_code ignored;
    std::filesystem::remove(socket_, ignored);
    const std::string log = directory_ + "/daemon.log";
    daemon_ =
        startListening({"dbus-daemon", "--nofork", "--config-file=" + directory_ + "/bus.conf"},
                       {.logFile = log, .outputToLog = true}, socket_);
    if (!daemon_)
        failure_ = "dbus-daemon did not start (is it installed?); see " + log;
    return daemon_ != nullptr;
}

BusClient::BusClient(const std::string& address) {
    if (auto bus = sdbus::connect(address, kCallLimit); bus.ok())
        bus_ = std::move(bus).value();
}

std::string BusClient::uniqueName() const {
    const char* unique = nullptr;
    if (!bus_ || sd_bus_get_unique_name(bus_.get(), &unique) < 0)
        return {};
    return unique;
}

bool BusClient::own(const std::string& name) {
    return bus_ && sd_bus_request_name(bus_.get(), name.c_str(), 0) >= 0;
}

std::vector<std::string> BusClient::otherClients() {
    std::vector<std::string> clients;
    if (!bus_)
        return clients;
    char** names = nullptr;
    if (sd_bus_list_names(bus_.get(), &names, nullptr) < 0)
        return clients;
    const std::string own = uniqueName();
    for (char** name = names; name && *name; ++name) {
        if ((*name)[0] == ':' && own != *name)
            clients.emplace_back(*name);
        free(*name);
    }
    free(names);
    return clients;
}

bool BusClient::ping(const std::string& destination) {
    if (!bus_)
        return false;
    auto ping =
        sdbus::newCall(bus_.get(), destination.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping");
    return sdbus::call(bus_.get(), ping.get(), kCallLimit).ok();
}

bool BusClient::emitPrepareForSleep(bool sleeping, const std::string& destination) {
    if (!bus_)
        return false;
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_signal(bus_.get(), &raw, "/org/freedesktop/login1",
                                  "org.freedesktop.login1.Manager", "PrepareForSleep") < 0) {
        return false;
    }
    const sdbus::MessagePtr message(raw);
    if ((!destination.empty() && sd_bus_message_set_destination(raw, destination.c_str()) < 0) ||
        sd_bus_message_append(raw, "b", sleeping ? 1 : 0) < 0 ||
        sd_bus_send(bus_.get(), raw, nullptr) < 0) {
        return false;
    }
    return sd_bus_flush(bus_.get()) >= 0;
}

}  // namespace ostrovane::test
