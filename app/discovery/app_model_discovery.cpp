// The model's studio discovery: programme detection, the announced studios
// and the address derived from the chosen one.
#include "app/discovery/program_detection.h"
#include "app/model/app_model.h"
#include "app/model/program_url.h"

namespace vsc {

void AppModel::detectProgramURL() {
    const std::string host = trimSpacesAndTabs(pcrHost.value_);
    const std::string address = "http://" + host + ":9997/v3/paths/list";
    // Text that does not make an address leaves everything as it was; no host
    // at all still makes one ("http://:9997/…"), which nothing answers, and
    // the user is told so.
    if (!host.empty() && !parseUrl(address)) return;
    publish(detectStatus, std::string("Detecting…"));
    if (!ports_.http) ports_.http = std::make_shared<CurlHttpClient>();
    std::shared_ptr<HttpClient> http = ports_.http;
    std::weak_ptr<AppModel> weak = weak_from_this();
    MainQueue* main = ports_.main;
    ports_.dispatcher->async([weak, main, http, host, address] {
        std::optional<std::string> body;
        if (!host.empty()) body = http->get(address);
        DetectionResult result = concludeDetection(host, body);
        main->post([weak, result] {
            auto self = weak.lock();
            if (!self) return;
            if (result.url) self->setUrl(*result.url);
            self->publish(self->detectStatus, result.status);
        });
    });
}

void AppModel::startDiscovery() {
    // The browser calls on its own thread; the model is reached on the main
    // queue, and only while it exists.
    std::weak_ptr<AppModel> weak = weak_from_this();
    MainQueue* main = ports_.main;
    pcrBrowser_->onLog = [weak, main](const std::string& line) {
        main->post([weak, line] {
            if (auto self = weak.lock()) self->log(line);
        });
    };
    pcrBrowser_->onUpdate = [weak, main](std::vector<PcrEntry> list) {
        main->post([weak, list = std::move(list)]() mutable {
            if (auto self = weak.lock()) self->applyPcrList(std::move(list));
        });
    };
    pcrBrowser_->start();
}

void AppModel::startDiscoveryOnce() {
    if (discoveryStarted.value_) return;
    publish(discoveryStarted, true);
    startDiscovery();
}

void AppModel::applyPcrList(std::vector<PcrEntry> list) {
    publish(pcrs, std::move(list));
    const auto& entries = pcrs.value_;
    if (!selectedPcrId.value_.empty()) {
        for (const auto& e : entries) {
            if (e.identifier() == selectedPcrId.value_) {
                applySelectedPcr();
                return;
            }
        }
    }
    if (entries.size() == 1) {
        setSelectedPcrId(entries.front().identifier());
        applySelectedPcr();
        return;
    }
    setSelectedPcrId("");
    applySelectedPcr();
}

void AppModel::setSelectedPcrId(const std::string& value) {
    if (value == selectedPcrId.value_) return;
    publish(selectedPcrId, value);
    applySelectedPcr();
}

void AppModel::applySelectedPcr() {
    if (running.value_) return;
    const PcrEntry* chosen = nullptr;
    for (const auto& e : pcrs.value_) {
        if (e.identifier() == selectedPcrId.value_) {
            chosen = &e;
            break;
        }
    }
    if (!chosen) return;
    std::optional<std::string> candidate;
    std::string ending;
    if (chosen->host) {
        setPcrHost(*chosen->host);
        candidate = chosen->programAddress();
        ending = " » — no program published yet";
    } else {
        ending = " » — resolving address…";
    }
    if (candidate && !isCompleteProgramURL(*candidate)) {
        // A stage such as "../x", or a host nothing can open: keep the address
        // the user has, which may well work.
        ending = " » — announces an unusable program address";
    } else if (candidate) {
        if (*candidate != url.value_) {
            setUrl(*candidate);
            log("Program URL from PCR « " + chosen->displayName() + " »: " + *candidate);
        }
        ending = " » — program on air";
    }
    publish(detectStatus, "PCR « " + chosen->displayName() + ending);
}

}  // namespace vsc
