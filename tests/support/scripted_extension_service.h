#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/extension_service.h"
#include "platform/main_queue.h"

namespace vsc::test {

// The camera program's service as the test scripts it: every request is
// recorded, and the test answers each one, the answer reaching the delegate
// on the main queue as the real service's answers do.
class ScriptedExtensionService final : public ExtensionService {
  public:
    enum class Kind { Activation, Deactivation, Properties };
    struct Request {
        Kind kind;
        std::string identifier;
        ExtensionRequestId id;
        std::weak_ptr<ExtensionRequestDelegate> delegate;
    };

    explicit ScriptedExtensionService(MainQueue& main) : main_(main) {}

    ExtensionRequestId submitActivation(const std::string& identifier,
                                        std::weak_ptr<ExtensionRequestDelegate> delegate) override {
        return submit(Kind::Activation, identifier, std::move(delegate));
    }
    ExtensionRequestId submitDeactivation(
        const std::string& identifier, std::weak_ptr<ExtensionRequestDelegate> delegate) override {
        return submit(Kind::Deactivation, identifier, std::move(delegate));
    }
    ExtensionRequestId submitProperties(const std::string& identifier,
                                        std::weak_ptr<ExtensionRequestDelegate> delegate) override {
        return submit(Kind::Properties, identifier, std::move(delegate));
    }

    // Off the main thread, like the real one; says what restartResult says.
    std::optional<std::string> restartCameraService() override {
        std::lock_guard<std::mutex> hold(mutex_);
        ++restarts_;
        return restartResult_;
    }
    void setRestartResult(std::optional<std::string> result) {
        std::lock_guard<std::mutex> hold(mutex_);
        restartResult_ = std::move(result);
    }
    int restarts() {
        std::lock_guard<std::mutex> hold(mutex_);
        return restarts_;
    }

    // The latest request of a kind.
    const Request& last(Kind kind) const {
        for (auto it = requests.rbegin(); it != requests.rend(); ++it)
            if (it->kind == kind) return *it;
        throw std::logic_error("no such request");
    }

    // The answers.
    void found(const Request& r, std::vector<ExtensionProperties> records) {
        answer(r, [id = r.id, records](ExtensionRequestDelegate& d) {
            d.foundProperties(id, records);
        });
    }
    void finish(const Request& r,
                ExtensionRequestResult result = ExtensionRequestResult::Completed) {
        answer(r,
               [id = r.id, result](ExtensionRequestDelegate& d) { d.requestFinished(id, result); });
    }
    void fail(const Request& r, ExtensionError error) {
        answer(r, [id = r.id, error](ExtensionRequestDelegate& d) { d.requestFailed(id, error); });
    }
    void needsApproval(const Request& r) {
        answer(r, [id = r.id](ExtensionRequestDelegate& d) { d.requestNeedsUserApproval(id); });
    }
    // The delegate's answer lands in replacementAnswers.
    void askReplacing(const Request& r, ExtensionProperties existing,
                      ExtensionProperties replacement) {
        answer(r, [this, id = r.id, existing, replacement](ExtensionRequestDelegate& d) {
            replacementAnswers.push_back(d.actionForReplacing(id, existing, replacement));
        });
    }

    std::vector<Request> requests;  // main queue only
    std::vector<ReplacementAction> replacementAnswers;

  private:
    ExtensionRequestId submit(Kind kind, const std::string& identifier,
                              std::weak_ptr<ExtensionRequestDelegate> delegate) {
        requests.push_back({kind, identifier, nextId_, std::move(delegate)});
        return nextId_++;
    }
    template <class F>
    void answer(const Request& r, F call) {
        main_.post([delegate = r.delegate, call] {
            if (auto d = delegate.lock()) call(*d);
        });
    }

    MainQueue& main_;
    ExtensionRequestId nextId_ = 101;
    std::mutex mutex_;
    std::optional<std::string> restartResult_;
    int restarts_ = 0;
};

}  // namespace vsc::test
