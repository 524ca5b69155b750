// The model's NDI source: switched on and off by ndiEnabled, named by ndiName.
#include "app/model/app_model.h"
#include "app/model/settings_keys.h"

namespace vsc {

void AppModel::applyNDISettings() {
    if (!ndiEnabled.value_) {
        ndi_->stop();
        publish(ndiStatus, std::string("Off"));
        return;
    }
    // A name of nothing but blanks names nothing; surrounding blanks of a
    // real name are the user's and stay.
    const std::string& wanted = ndiName.value_;
    const bool blank = wanted.find_first_not_of(" \t") == std::string::npos;
    const std::string name = blank ? std::string(keys::kDefaultNdiName) : wanted;
    if (auto problem = ndi_->start(name)) {
        log("NDI: " + *problem);
        // Turning the switch off stores it and comes back here, which shows "Off".
        setNdiEnabled(false);
        return;
    }
    // The status follows on the next statistics tick.
    log("NDI output “" + name + "” started (" + ndi_->runtime().version().value_or("runtime ?") +
        ")");
}

}  // namespace vsc
