#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vsc {

// The identity of a submitted request: compared, never used to reach it.
using ExtensionRequestId = std::uint64_t;

// What the system knows of an installed extension.
struct ExtensionProperties {
    bool enabled = false;
    bool uninstalling = false;
    std::string shortVersion;
    std::string version;
    bool operator==(const ExtensionProperties&) const = default;
};

struct ExtensionError {
    std::string fullDescription;       // its whole text, domain and code included
    std::string localizedDescription;  // the short sentence for the user
};

enum class ExtensionRequestResult { Completed, WillCompleteAfterReboot };
enum class ReplacementAction { Cancel, Replace };

// Who hears how a request goes. Every answer comes on the main queue.
class ExtensionRequestDelegate {
  public:
    virtual ~ExtensionRequestDelegate() = default;
    // An extension with the same identifier is active already; the answer is
    // given at once.
    virtual ReplacementAction actionForReplacing(ExtensionRequestId request,
                                                 const ExtensionProperties& existing,
                                                 const ExtensionProperties& replacement) = 0;
    virtual void requestNeedsUserApproval(ExtensionRequestId request) = 0;
    // The answer to a properties request (before it finishes).
    virtual void foundProperties(ExtensionRequestId request,
                                 const std::vector<ExtensionProperties>& properties) = 0;
    virtual void requestFinished(ExtensionRequestId request, ExtensionRequestResult result) = 0;
    virtual void requestFailed(ExtensionRequestId request, const ExtensionError& error) = 0;
};

// Installs the camera extension, removes it and tells what is installed.
// Exactly one of finished or failed answers each request; the delegate is
// held weakly, and answers after it has gone are dropped.
class ExtensionService {
  public:
    virtual ~ExtensionService() = default;
    virtual ExtensionRequestId submitActivation(
        const std::string& identifier, std::weak_ptr<ExtensionRequestDelegate> delegate) = 0;
    virtual ExtensionRequestId submitDeactivation(
        const std::string& identifier, std::weak_ptr<ExtensionRequestDelegate> delegate) = 0;
    virtual ExtensionRequestId submitProperties(
        const std::string& identifier, std::weak_ptr<ExtensionRequestDelegate> delegate) = 0;

    // Restarts the service that runs the camera (the camera's own service,
    // where the system offers nothing finer). Blocks: never on the main queue.
    // None on success, else the message for the user.
    virtual std::optional<std::string> restartCameraService() = 0;
};

}  // namespace vsc
