#include "platform/extension_service_user.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "platform/file_install.h"
#include "platform/serial_queue.h"
#include "platform/user_dirs.h"

namespace vsc {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProgram = "vendaroscope-camera";
constexpr const char* kManifest = "manifest.json";
constexpr const char* kServiceName = "vendaroscope-camera";
constexpr std::size_t kManifestLimit = 64 * 1024;

// The two version keys of a manifest; none when it cannot be read.
std::optional<ExtensionProperties> readManifest(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string text(kManifestLimit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kManifestLimit) return std::nullopt;
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    auto field = [&](const char* key) {
        auto it = json.find(key);
        return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    ExtensionProperties properties;
    properties.shortVersion = field("CFBundleShortVersionString");
    properties.version = field("CFBundleVersion");
    return properties;
}

ExtensionError error(const std::string& message) {
    return {"VSCExtensionService: " + message, message};
}

class UserServiceExtensionService final
    : public ExtensionService,
      public std::enable_shared_from_this<UserServiceExtensionService> {
  public:
    UserServiceExtensionService(std::string resourcesDir, std::string installFolder,
                                std::shared_ptr<UserServices> services, MainQueue& main)
        : resourcesDir_(std::move(resourcesDir)),
          installFolder_(std::move(installFolder)),
          services_(std::move(services)),
          main_(main),
          queue_(std::make_shared<ThreadSerialQueue>("vsc.virtualcam.extension")) {}

    ExtensionRequestId submitActivation(const std::string& identifier,
                                        std::weak_ptr<ExtensionRequestDelegate> delegate) override {
        return submit(identifier, delegate,
                      [this, delegate](ExtensionRequestId id, const std::string& identifier) {
                          activate(id, identifier, delegate);
                      });
    }

    ExtensionRequestId submitDeactivation(
        const std::string& identifier, std::weak_ptr<ExtensionRequestDelegate> delegate) override {
        return submit(
            identifier, delegate,
            [this, delegate](ExtensionRequestId id, const std::string& identifier) {
                if (auto failure = services_->uninstall(kServiceName))
                    return fail(id, delegate, *failure);
                std::error_code ec;
                fs::remove_all(bundleFolder(identifier), ec);
                if (ec)
                    return fail(id, delegate,
                                "Cannot remove " + bundleFolder(identifier) + ": " + ec.message());
                finish(id, delegate);
            });
    }

    ExtensionRequestId submitProperties(const std::string& identifier,
                                        std::weak_ptr<ExtensionRequestDelegate> delegate) override {
        return submit(identifier, delegate,
                      [this, delegate](ExtensionRequestId id, const std::string& identifier) {
                          std::vector<ExtensionProperties> found;
                          if (auto installed = installedProperties(identifier))
                              found.push_back(*installed);
                          // The camera runs whenever it is installed: bring back one that
                          // nothing runs (the application was not there when it ended).
                          services_->ensureRunning(kServiceName);
                          answer(delegate, [id, found](ExtensionRequestDelegate& d) {
                              d.foundProperties(id, found);
                              d.requestFinished(id, ExtensionRequestResult::Completed);
                          });
                      });
    }

    std::optional<std::string> restartCameraService() override {
        return services_->restart(kServiceName);
    }

  private:
    using Work = std::function<void(ExtensionRequestId, const std::string&)>;

    // Requests run one after another on the service's own thread.
    ExtensionRequestId submit(const std::string& identifier,
                              const std::weak_ptr<ExtensionRequestDelegate>&, Work work) {
        ExtensionRequestId id = ++next_;
        std::weak_ptr<UserServiceExtensionService> weak = weak_from_this();
        queue_->async([weak, id, identifier, work = std::move(work)] {
            if (auto self = weak.lock()) work(id, identifier);
        });
        return id;
    }

    std::string bundleFolder(const std::string& identifier) const {
        return installFolder_ + "/" + identifier;
    }

    std::optional<ExtensionProperties> installedProperties(const std::string& identifier) {
        auto properties = readManifest(bundleFolder(identifier) + "/" + kManifest);
        if (!properties) return std::nullopt;
        properties->enabled =
            services_->installed(kServiceName) &&
            ::access((bundleFolder(identifier) + "/" + kProgram).c_str(), X_OK) == 0;
        return properties;
    }

    void activate(ExtensionRequestId id, const std::string& identifier,
                  const std::weak_ptr<ExtensionRequestDelegate>& delegate) {
        const std::string embedded = resourcesDir_ + "/" + identifier;
        auto replacement = readManifest(embedded + "/" + kManifest);
        if (!replacement || ::access((embedded + "/" + kProgram).c_str(), X_OK) != 0)
            return fail(id, delegate, "No camera bundled in this build (" + embedded + ")");
        replacement->enabled = true;
        if (auto existing = installedProperties(identifier); existing && existing->enabled) {
            // Asked on the main queue, answered there at once; this thread waits.
            auto decided = std::make_shared<std::promise<ReplacementAction>>();
            auto decision = decided->get_future();
            main_.post([delegate, decided, id, existing = *existing, replacement = *replacement] {
                auto d = delegate.lock();
                decided->set_value(d ? d->actionForReplacing(id, existing, replacement)
                                     : ReplacementAction::Cancel);
            });
            if (decision.get() != ReplacementAction::Replace)
                return fail(id, delegate, "The installation was cancelled");
        }
        if (auto failure = copyBundle(embedded, identifier)) return fail(id, delegate, *failure);
        UserServiceSpec spec{kServiceName,
                             "Vendaroscope Program camera",
                             {bundleFolder(identifier) + "/" + kProgram}};
        if (auto failure = services_->install(spec)) return fail(id, delegate, *failure);
        finish(id, delegate);
    }

    // The new bundle is put together beside the installed one and takes its
    // place in one rename: a copy that fails half way leaves the installed
    // camera as it was, and a running camera keeps its program file.
    std::optional<std::string> copyBundle(const std::string& embedded,
                                          const std::string& identifier) {
        const std::string target = bundleFolder(identifier);
        const std::string staging = target + ".new";
        std::error_code ec;
        fs::remove_all(staging, ec);
        for (const char* file : {kProgram, kManifest}) {
            if (auto failure = installCopy(embedded + "/" + file, staging, file,
                                           std::string(file) == kProgram ? 0755 : 0644)) {
                fs::remove_all(staging, ec);
                return failure;
            }
        }
        const std::string old = target + ".old";
        fs::remove_all(old, ec);
        bool hadOne = fs::exists(target, ec);
        if (hadOne && ::rename(target.c_str(), old.c_str()) != 0) {
            int err = errno;
            fs::remove_all(staging, ec);
            return "Cannot replace " + target + ": " + std::strerror(err);
        }
        if (::rename(staging.c_str(), target.c_str()) != 0) {
            int err = errno;
            if (hadOne) ::rename(old.c_str(), target.c_str());
            fs::remove_all(staging, ec);
            return "Cannot install " + target + ": " + std::strerror(err);
        }
        fs::remove_all(old, ec);
        return std::nullopt;
    }

    void answer(const std::weak_ptr<ExtensionRequestDelegate>& delegate,
                std::function<void(ExtensionRequestDelegate&)> call) {
        main_.post([delegate, call = std::move(call)] {
            if (auto d = delegate.lock()) call(*d);
        });
    }
    void finish(ExtensionRequestId id, const std::weak_ptr<ExtensionRequestDelegate>& delegate) {
        answer(delegate, [id](ExtensionRequestDelegate& d) {
            d.requestFinished(id, ExtensionRequestResult::Completed);
        });
    }
    void fail(ExtensionRequestId id, const std::weak_ptr<ExtensionRequestDelegate>& delegate,
              const std::string& message) {
        answer(delegate,
               [id, e = error(message)](ExtensionRequestDelegate& d) { d.requestFailed(id, e); });
    }

    const std::string resourcesDir_, installFolder_;
    std::shared_ptr<UserServices> services_;
    MainQueue& main_;
    std::atomic<ExtensionRequestId> next_{0};
    std::shared_ptr<ThreadSerialQueue> queue_;
};

}  // namespace

std::string cameraInstallFolder() {
    std::string data = dataHome();
    return data.empty() ? std::string() : data + "/vendaroscope-virtualcam";
}

std::shared_ptr<ExtensionService> makeUserServiceExtensionService(
    std::string resourcesDir, std::string installFolder, std::shared_ptr<UserServices> services,
    MainQueue& main) {
    return std::make_shared<UserServiceExtensionService>(
        std::move(resourcesDir), std::move(installFolder), std::move(services), main);
}

}  // namespace vsc
