#include "monitoring/MicAppResolver.h"

#include <filesystem>
#include <utility>

#include "monitoring/SystemDaemons.h"

namespace ostrovane::monitoring {

MicAppResolver::MicAppResolver(dispatch::Clock& clock, dispatch::SerialQueue& mainQueue,
                               std::shared_ptr<platform::Applications> applications,
                               std::vector<std::string> platformDaemons, Log log)
    : clock_(clock),
      mainQueue_(mainQueue),
      applications_(std::move(applications)),
      platformDaemons_(std::move(platformDaemons)),
      log_(std::move(log)) {}

void MicAppResolver::onMain(const std::function<void()>& work) {
    if (mainQueue_.isCurrent())
        work();
    else
        mainQueue_.sync(work);
}

void MicAppResolver::warmPidCache() {
    const double now = clock_.wallTime();
    std::vector<std::pair<platform::Pid, CachedApp>> kept;
    onMain([&] {
        for (const auto& app : applications_->runningApplications()) {
            if (app.bundleIdentifier)
                kept.emplace_back(
                    app.pid,
                    CachedApp{AppIdentity{*app.bundleIdentifier,
                                          app.localizedName.value_or(*app.bundleIdentifier)},
                              app.executablePath});
        }
    });
    pidCache.clear();
    pidCacheTime = now;
    for (auto& [pid, identity] : kept)
        pidCache.insert_or_assign(pid, std::move(identity));
    log_("MicAppDetector: Warmed PID cache with " + std::to_string(pidCache.size()) + " apps");
}

std::optional<AppIdentity> MicAppResolver::resolveBundleInfo(
    platform::Pid pid, const std::optional<std::string>& processNameHint) {
    if (clock_.wallTime() - pidCacheTime > pidCacheMaxAge)
        warmPidCache();

    std::optional<std::string> bundleId;
    std::optional<std::string> name;
    const auto path = applications_->executablePath(pid);
    auto cached = pidCache.find(pid);
    if (cached != pidCache.end() && cached->second.executable && cached->second.executable != path)
        pidCache.erase(std::exchange(cached, pidCache.end()));
    if (cached != pidCache.end()) {
        bundleId = cached->second.identity.bundleId;
        name = cached->second.identity.appName;
    } else {
        std::optional<platform::Bundle> bundle;
        if (path)
            bundle = findRootAppBundle(*path);
        if (bundle) {
            bundleId = bundle->identifier;
            name = getBundleDisplayName(*bundle);
            if (!name)
                name = bundle->identifier;
            if (bundleId)
                pidCache.insert_or_assign(
                    pid, CachedApp{AppIdentity{*bundleId, name.value_or(*bundleId)}, path});
        } else if (auto info = getAppInfoForPID(pid)) {
            bundleId = info->bundleId;
            name = info->appName;
            const bool helper = (name && name->find("Helper") != std::string::npos) ||
                                (bundleId && bundleId->find("helper") != std::string::npos);
            if (helper && info->execPath) {
                if (auto outer = findRootAppBundle(*info->execPath)) {
                    if (outer->identifier)
                        bundleId = outer->identifier;
                    if (auto display = getBundleDisplayName(*outer))
                        name = display;
                }
            }
            if (bundleId)
                pidCache.insert_or_assign(
                    pid, CachedApp{AppIdentity{*bundleId, name.value_or(*bundleId)}, path});
        } else if (auto again = applications_->executablePath(pid)) {
            bundleId = "path:" + *again;
            name = std::filesystem::path(*again).stem().string();
        }
    }

    if (isSystemDaemon(processNameHint, name, bundleId, platformDaemons_)) {
        log_("MicAppDetector: Skipping system daemon: hint=" + processNameHint.value_or("?") +
             " name=" + name.value_or("?") + " bundle=" + bundleId.value_or("?"));
        return std::nullopt;
    }
    if (bundleId)
        return AppIdentity{*bundleId, name.value_or(*bundleId)};
    if (processNameHint)
        return AppIdentity{"process:" + *processNameHint, *processNameHint};
    return std::nullopt;
}

std::optional<MicAppResolver::AppInfo> MicAppResolver::getAppInfoForPID(platform::Pid pid) {
    std::optional<platform::RunningApplication> app;
    onMain([&] { app = applications_->runningApplication(pid); });
    if (!app)
        return std::nullopt;
    AppInfo info{app->bundleIdentifier, app->localizedName, app->executablePath};
    if (!info.appName)
        info.appName = app->bundleIdentifier;
    return info;
}

std::optional<platform::Bundle> MicAppResolver::findRootAppBundle(const std::string& path) {
    std::filesystem::path current(path);
    if (path.empty() || current == "/")
        return std::nullopt;
    std::optional<platform::Bundle> outermost;
    while (!current.empty() && current != "/") {
        if (current.extension() == ".app") {
            if (auto bundle = applications_->openBundle(current.string()))
                outermost = std::move(bundle);
        }
        auto parent = current.parent_path();
        if (parent == current)
            break;
        current = std::move(parent);
    }
    return outermost;
}

std::optional<std::string> MicAppResolver::getBundleDisplayName(const platform::Bundle& bundle) {
    for (const char* key : {"CFBundleDisplayName", "CFBundleName", "CFBundleExecutable"}) {
        if (auto value = bundle.infoString(key))
            return value;
    }
    return std::nullopt;
}

}  // namespace ostrovane::monitoring
