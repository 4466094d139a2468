#include "platform/pulse/PulseConnection.h"

#include "platform/pulse/PulseAnswer.h"

#include <pulse/timeval.h>

#include <charconv>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "platform/processes/ProcFs.h"
#include "platform/pulse/PulseFormat.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

namespace {

// Capped low: capture that waits for a restarting server should be back
// within a second or so of its return; a refused connect costs next to nothing.
constexpr std::chrono::milliseconds kMaxBackoff{1000};

std::optional<Pid> pidProperty(const pa_proplist* list, const char* key) {
    const char* text = list ? pa_proplist_gets(list, key) : nullptr;
    if (!text)
        return std::nullopt;
    Pid pid = 0;
    const char* end = text + std::strlen(text);
    auto [rest, error] = std::from_chars(text, end, pid);
    if (error != std::errc() || rest != end || pid <= 0)
        return std::nullopt;
    return pid;
}

std::string textProperty(const pa_proplist* list, const char* key) {
    const char* text = list ? pa_proplist_gets(list, key) : nullptr;
    return text ? text : "";
}

// libpulse names the client's executable as its own /proc/self/exe shows it.
// A claimed pid whose process runs another executable (or that is no process
// of ours at all) was counted in another pid namespace. A client that does
// not name its executable is taken at its word.
bool claimedElsewhere(Pid claimed, const std::string& binary) {
    if (binary.empty())
        return false;
    const ProcFs proc;
    if (const auto executable = proc.executable(claimed))
        return std::filesystem::path(*executable).filename() != binary;
    // Unreadable link: the kernel's name, cut to 15 characters, must match.
    const auto name = proc.name(claimed);
    return !name || *name != binary.substr(0, 15);
}

// PipeWire records the peer's pid from the socket credentials; PulseAudio
// only has what the client says about itself. PipeWire's pulse server is
// itself PipeWire's peer for every client it serves, so there the verified
// pid is the server's own and says nothing about who plays or records.
PidHints pidHints(const pa_proplist* list) {
    auto verified = pidProperty(list, "pipewire.sec.pid");
    if (verified) {
        const auto name = ProcFs().name(*verified);
        if (name && (*name == "pipewire-pulse" || *name == "pipewire"))
            verified.reset();
    }
    PidHints hints{verified, pidProperty(list, PA_PROP_APPLICATION_PROCESS_ID)};
    if (!verified && hints.claimed) {
        hints.claimedElsewhere = claimedElsewhere(
            *hints.claimed, textProperty(list, PA_PROP_APPLICATION_PROCESS_BINARY));
    }
    return hints;
}

NameHints nameHints(const pa_proplist* list) {
    return NameHints{textProperty(list, PA_PROP_APPLICATION_NAME),
                     textProperty(list, PA_PROP_APPLICATION_PROCESS_BINARY)};
}

SourceInfo toSource(const pa_source_info& i) {
    SourceInfo s;
    s.index = i.index;
    s.name = i.name ? i.name : "";
    s.description = i.description && *i.description ? i.description : s.name;
    s.isMonitor = i.monitor_of_sink != PA_INVALID_INDEX;
    s.channels = i.sample_spec.channels;
    s.recordFormat = describe(recordSpecFor(i.sample_spec));
    s.running = i.state == PA_SOURCE_RUNNING;
    return s;
}

SinkInfo toSink(const pa_sink_info& i) {
    SinkInfo s;
    s.index = i.index;
    s.name = i.name ? i.name : "";
    s.description = i.description && *i.description ? i.description : s.name;
    s.monitorSource = i.monitor_source_name ? i.monitor_source_name : "";
    s.running = i.state == PA_SINK_RUNNING;
    return s;
}

// What one item of a listing or query puts into the model.
ModelChanges putSource(PulseModel& model, const pa_source_info& info) {
    return model.putSource(toSource(info));
}
ModelChanges putSink(PulseModel& model, const pa_sink_info& info) {
    return model.putSink(toSink(info));
}
ModelChanges putSourceOutput(PulseModel& model, const pa_source_output_info& info) {
    return model.putSourceOutput(StreamInfo{info.index, info.source, info.client, info.corked != 0,
                                            pidHints(info.proplist), nameHints(info.proplist)});
}
ModelChanges putSinkInput(PulseModel& model, const pa_sink_input_info& info) {
    return model.putSinkInput(StreamInfo{info.index, info.sink, info.client, info.corked != 0,
                                         pidHints(info.proplist), nameHints(info.proplist)});
}
ModelChanges putClient(PulseModel& model, const pa_client_info& info) {
    return model.putClient(
        ClientInfo{info.index, pidHints(info.proplist), nameHints(info.proplist)});
}

}  // namespace

std::shared_ptr<PulseConnection> PulseConnection::create(dispatch::Clock& clock, Options options) {
    auto connection = std::make_shared<PulseConnection>(Key{}, clock, std::move(options));
    if (!connection->start())
        return connection;
    util::MutexLock lock(connection->mutex_);
    lock.waitFor(connection->attempted_, connection->options_.timeout,
                 [&]() REQUIRES(connection->mutex_) { return connection->_attempted; });
    return connection;
}

PulseConnection::PulseConnection(Key, dispatch::Clock& clock, Options options)
    : options_(std::move(options)),
      events_(std::make_unique<dispatch::SerialQueue>(clock, "linux.pulse.events")),
      work_(std::make_unique<dispatch::SerialQueue>(clock, "linux.pulse.work")),
      mainloop_(pa_threaded_mainloop_new()) {}

PulseConnection::~PulseConnection() {
    // The queues stop first and wait for their running task (unless that task
    // is the one letting go of us): after this nothing of ours runs, so the
    // tasks need not own the connection, and whoever releases it last may
    // free the clock right after.
    events_->close();
    work_->close();
    if (mainloop_) {
        {
            MainloopLock lock(mainloop_.get());
            if (reconnectTimer_) {
                pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
                api->time_free(reconnectTimer_);
            }
            context_.reset();
        }
        mainloop_.reset();
    }
}

bool PulseConnection::start() {
    if (!mainloop_) {
        util::MutexLock lock(mutex_);
        _unavailableReason = "cannot create the PulseAudio main loop";
        return false;
    }
    if (pa_threaded_mainloop_start(mainloop_.get()) < 0) {
        // A main loop that never ran must not be stopped by its deleter.
        pa_threaded_mainloop_free(mainloop_.release());
        util::MutexLock lock(mutex_);
        _unavailableReason = "cannot start the PulseAudio main loop";
        return false;
    }
    MainloopLock lock(mainloop_.get());
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
    reconnectTimer_ = api->time_new(api, nullptr, &PulseConnection::onReconnect, this);
    connectLocked();
    return true;
}

pa_context* PulseConnection::readyContextLocked() const {
    // Not before the first listing is complete: what we ask of the server
    // depends on what it told us about itself (PipeWire or not).
    if (!context_ || pa_context_get_state(context_.get()) != PA_CONTEXT_READY || listingSteps_ > 0)
        return nullptr;
    return context_.get();
}

std::string PulseConnection::unavailableReason() const {
    if (model_.available())
        return {};
    util::MutexLock lock(mutex_);
    return _unavailableReason;
}

void PulseConnection::settle() {
    for (dispatch::SerialQueue* queue : {events_.get(), work_.get()}) {
        if (!queue->isCurrent())
            queue->sync([] {});
    }
}

void PulseConnection::addObserver(std::weak_ptr<ModelObserver> observer) {
    util::MutexLock lock(mutex_);
    std::erase_if(_observers, [](const auto& o) { return o.expired(); });
    _observers.push_back(std::move(observer));
}

void PulseConnection::sayOnce(const std::string& line) {
    {
        util::MutexLock lock(saidMutex_);
        if (!_said.insert(line).second)
            return;
    }
    if (options_.log)
        options_.log(line);
}

void PulseConnection::afterOnEvents(std::chrono::milliseconds delay, std::function<void()> task) {
    events_->asyncAfter(delay, std::move(task));
}

std::optional<bool> PulseConnection::sinkExists(const std::string& name) {
    struct Query {
        bool found = false;  // the main loop's thread only, read once answered
        PulseAnswer<bool> answer;
    } query;
    auto onInfo = [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* q = static_cast<Query*>(userdata);
        q->found = q->found || info != nullptr;
        if (eol != 0)
            q->answer.set(q->found);
    };
    OperationPtr operation;
    {
        MainloopLock lock(mainloop_.get());
        pa_context* context = readyContextLocked();
        if (!context)
            return std::nullopt;
        operation.reset(pa_context_get_sink_info_by_name(context, name.c_str(), onInfo, &query));
        if (!operation)
            return std::nullopt;
    }
    return query.answer.await(mainloop_.get(), operation, options_.timeout);
}

bool PulseConnection::refreshDefaults() {
    struct Query {
        PulseConnection* connection = nullptr;
        PulseAnswer<bool> answer;
    } query;
    query.connection = this;
    auto onInfo = [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* q = static_cast<Query*>(userdata);
        if (info) {
            PulseConnection& c = *q->connection;
            c.publish(
                c.model_.setDefaults(info->default_source_name ? info->default_source_name : "",
                                     info->default_sink_name ? info->default_sink_name : ""));
        }
        q->answer.set(true);
    };
    OperationPtr operation;
    {
        MainloopLock lock(mainloop_.get());
        pa_context* context = readyContextLocked();
        if (!context)
            return false;
        operation.reset(pa_context_get_server_info(context, onInfo, &query));
        if (!operation)
            return false;
    }
    return query.answer.await(mainloop_.get(), operation, options_.timeout).has_value();
}

// ---- main loop thread ----

Result<ContextPtr> PulseConnection::newContextLocked(pa_context_notify_cb_t onState,
                                                     void* userdata) const {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
    ProplistPtr props(pa_proplist_new());
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, options_.clientName.c_str());
    ContextPtr context(pa_context_new_with_proplist(api, options_.clientName.c_str(), props.get()));
    if (!context)
        return Error{kPulseErrorDomain, PA_ERR_INTERNAL, "cannot create a PulseAudio context"};
    pa_context_set_state_callback(context.get(), onState, userdata);
    const char* server = options_.server.empty() ? nullptr : options_.server.c_str();
    // Never spawn a server: without one the answer is "no server".
    if (pa_context_connect(context.get(), server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        const int code = pa_context_errno(context.get());
        return Error{kPulseErrorDomain, code, pa_strerror(code)};
    }
    return context;
}

void PulseConnection::connectLocked() {
    auto context = newContextLocked(&PulseConnection::onContextState, this);
    if (!context.ok()) {
        failedLocked(context.error().localizedDescription());
        return;
    }
    context_ = std::move(context).value();
}

void PulseConnection::failedLocked(const std::string& reason) {
    {
        util::MutexLock lock(mutex_);
        _unavailableReason = "no sound server: " + reason;
        _attempted = true;
    }
    attempted_.notify_all();
    listingSteps_ = 0;
    publish(model_.setAvailable(false));
    // The failed context is replaced when the timer fires, outside its own
    // callback.
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
    struct timeval tv;
    const auto usec = static_cast<pa_usec_t>(backoff_.count()) * PA_USEC_PER_MSEC;
    api->time_restart(reconnectTimer_, pa_timeval_add(pa_gettimeofday(&tv), usec));
    backoff_ = std::min(backoff_ * 2, kMaxBackoff);
}

void PulseConnection::onReconnect(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                                  void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    api->time_restart(event, nullptr);
    self->context_.reset();
    self->connectLocked();
}

void PulseConnection::onContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            self->backoff_ = std::chrono::milliseconds(500);
            self->beginListingLocked();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            self->failedLocked(pa_strerror(pa_context_errno(context)));
            break;
        default:
            break;
    }
}

void PulseConnection::beginListingLocked() {
    pa_context* c = context_.get();
    pa_context_set_subscribe_callback(c, &PulseConnection::onSubscription, this);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK_INPUT |
        PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_CLIENT |
        PA_SUBSCRIPTION_MASK_SERVER);
    forget(pa_context_subscribe(c, mask, nullptr, nullptr));
    listingSteps_ = 6;
    forget(pa_context_get_server_info(c, &onServerInfo<true>, this));
    forget(pa_context_get_source_info_list(c, &onInfo<true, pa_source_info, putSource>, this));
    forget(pa_context_get_sink_info_list(c, &onInfo<true, pa_sink_info, putSink>, this));
    forget(pa_context_get_source_output_info_list(
        c, &onInfo<true, pa_source_output_info, putSourceOutput>, this));
    forget(pa_context_get_sink_input_info_list(c, &onInfo<true, pa_sink_input_info, putSinkInput>,
                                               this));
    forget(pa_context_get_client_info_list(c, &onInfo<true, pa_client_info, putClient>, this));
}

void PulseConnection::listingStepDone() {
    if (listingSteps_ <= 0 || --listingSteps_ > 0)
        return;
    connections_.fetch_add(1);
    publish(model_.setAvailable(true));
    {
        util::MutexLock lock(mutex_);
        _unavailableReason.clear();
        _attempted = true;
    }
    attempted_.notify_all();
}

void PulseConnection::onSubscription(pa_context*, pa_subscription_event_type_t type,
                                     std::uint32_t index, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_REMOVE) {
        self->querySingleLocked(facility, index);
        return;
    }
    PulseModel& m = self->model_;
    switch (facility) {
        case PA_SUBSCRIPTION_EVENT_SOURCE:
            self->publish(m.removeSource(index));
            break;
        case PA_SUBSCRIPTION_EVENT_SINK:
            self->publish(m.removeSink(index));
            break;
        case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
            self->publish(m.removeSourceOutput(index));
            break;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
            self->publish(m.removeSinkInput(index));
            break;
        case PA_SUBSCRIPTION_EVENT_CLIENT:
            self->publish(m.removeClient(index));
            break;
        default:
            break;
    }
}

void PulseConnection::querySingleLocked(unsigned facility, std::uint32_t index) {
    pa_context* c = context_.get();
    switch (facility) {
        case PA_SUBSCRIPTION_EVENT_SOURCE:
            forget(pa_context_get_source_info_by_index(
                c, index, &onInfo<false, pa_source_info, putSource>, this));
            break;
        case PA_SUBSCRIPTION_EVENT_SINK:
            forget(pa_context_get_sink_info_by_index(c, index,
                                                     &onInfo<false, pa_sink_info, putSink>, this));
            break;
        case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
            forget(pa_context_get_source_output_info(
                c, index, &onInfo<false, pa_source_output_info, putSourceOutput>, this));
            break;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
            forget(pa_context_get_sink_input_info(
                c, index, &onInfo<false, pa_sink_input_info, putSinkInput>, this));
            break;
        case PA_SUBSCRIPTION_EVENT_CLIENT:
            forget(pa_context_get_client_info(c, index, &onInfo<false, pa_client_info, putClient>,
                                              this));
            break;
        case PA_SUBSCRIPTION_EVENT_SERVER:
            forget(pa_context_get_server_info(c, &onServerInfo<false>, this));
            break;
        default:
            break;
    }
}

template <bool Listing, typename Info, ModelChanges (*Put)(PulseModel&, const Info&)>
void PulseConnection::onInfo(pa_context*, const Info* info, int eol, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    if (eol != 0 || !info) {
        // eol < 0 for an object that vanished between the event and the query.
        if (Listing)
            self->listingStepDone();
        return;
    }
    self->publish(Put(self->model_, *info));
}

template <bool Listing>
void PulseConnection::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    if (info && Listing) {
        self->sayOnce(std::string("LinuxAudio: sound server ") +
                      (info->server_name ? info->server_name : "?") + " " +
                      (info->server_version ? info->server_version : "?"));
    }
    if (info) {
        self->onPipeWire_ =
            info->server_name &&
            std::string_view(info->server_name).find("PipeWire") != std::string_view::npos;
        self->publish(
            self->model_.setDefaults(info->default_source_name ? info->default_source_name : "",
                                     info->default_sink_name ? info->default_sink_name : ""));
    }
    if (Listing)
        self->listingStepDone();
}

void PulseConnection::publish(ModelChanges changes) {
    if (!changes.any())
        return;
    // Not an owner: the destructor waits for this task, and a task that
    // owned the connection would end it on this thread, out of its owner's
    // sight, while the owner went on to free what the queues use.
    events_->async([self = this, changes = std::move(changes)] {
        std::vector<std::shared_ptr<ModelObserver>> observers;
        {
            util::MutexLock lock(self->mutex_);
            for (const auto& o : self->_observers) {
                if (auto strong = o.lock())
                    observers.push_back(std::move(strong));
            }
        }
        for (const auto& observer : observers)
            observer->modelChanged(changes);
    });
}

}  // namespace ostrovane::platform::pulse
