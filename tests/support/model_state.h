#pragma once

#include "app/model/app_model.h"

namespace vsc::test {

// Puts a published field of the model into a state that would take a whole
// scripted scenario to reach (a camera awaiting approval, a microphone
// needing repair), raising the change signal like the model does. For the
// tests of what the views show of a state, not of how the model gets there.
struct ModelState {
    template <class T, class V>
    static void set(AppModel& model, Published<T> AppModel::*field, V value) {
        model.publish(model.*field, T(std::move(value)));
    }
};

// A studio as discovery lists it, for the views' tests and screenshots:
// resolved at `host`, or not yet resolved when `host` is empty.
inline PcrEntry announcedStudio(const std::string& name, const std::string& stage,
                                const std::string& host = "10.0.0.7") {
    PcrEntry entry;
    entry.serviceName = "pcr-" + name;
    entry.name = name;
    entry.code = "C1";
    entry.serverId = "s1";
    entry.stage = stage;
    if (!host.empty()) entry.host = host;
    return entry;
}

}  // namespace vsc::test
