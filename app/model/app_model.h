#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "app/audio/audio_driver_installer.h"
#include "app/audio/audio_output.h"
#include "app/camera/camera_sink.h"
#include "app/discovery/pcr_browser.h"
#include "app/intake/program_receiver.h"
#include "app/model/activity_log.h"
#include "app/model/atomic_int.h"
#include "app/model/menu_bar_status.h"
#include "app/model/model_types.h"
#include "app/model/preview.h"
#include "app/ndi/ndi_output.h"
#include "platform/extension_service.h"
#include "platform/http.h"
#include "platform/login_item.h"
#include "platform/main_queue.h"
#include "platform/notifications.h"
#include "platform/preferences.h"
#include "platform/serial_queue.h"

namespace vsc {

namespace test {
// Tests of the views set published fields directly through this.
struct ModelState;
}  // namespace test

// A field the user interface shows: readable by anyone on the main thread,
// changed only by the model, which raises its change signal on every change.
template <class T>
class Published {
  public:
    explicit Published(T initial = T()) : value_(std::move(initial)) {}
    const T& operator()() const { return value_; }

  private:
    friend class AppModel;
    T value_;
};

// The application's one model. Every operation runs on the main queue except
// the video path and the audio hand-over, which run on the receiver's reader
// threads and the video queue. Its operations are spread over the folders of
// the subsystems that own them; this file declares them all.
class AppModel : public std::enable_shared_from_this<AppModel>, public ExtensionRequestDelegate {
  public:
    struct Ports {
        MainQueue* main = nullptr;
        Preferences* preferences = nullptr;
        // Background work and time of the receiver.
        Dispatcher* dispatcher = &ThreadDispatcher::shared();
        Clock* clock = &SystemClock::shared();
        std::string resourcesDir;
        std::vector<std::string> systemFfmpegPaths = {"/usr/bin/ffmpeg", "/usr/local/bin/ffmpeg"};
        // The delayed-send queue; a thread labelled "vsc.virtualcam.video" when not given.
        std::shared_ptr<SerialQueue> videoQueue;
        // The camera's sink stream client; none until a camera is available.
        std::shared_ptr<CameraSink> sink;
        // The programme sound's output; none in programs without sound.
        std::shared_ptr<AudioOutput> audio;
        // Where the output devices are listed (the audio output's system).
        std::shared_ptr<AudioSystem> audioSystem;
        // The virtual microphone's installation, and how the audio server is
        // made to read it again after a repair.
        std::shared_ptr<AudioDriverInstaller> audioDriver;
        AudioDriverInstaller::Reload reloadAudioServer;
        // The HTTP client of programme detection; libcurl when not given.
        std::shared_ptr<HttpClient> http;
        // The browser of announced studios; one over avahi-daemon when not given.
        std::shared_ptr<PcrBrowser> pcrBrowser;
        // The preview scaler; renderPreview when not given.
        std::function<std::optional<PreviewImage>(const PixelBuffer&)> previewRenderer;
        // Installs, removes and asks about the camera program and restarts
        // its service; without one none of that is attempted.
        std::shared_ptr<ExtensionService> extensionService;
        // Whether the system, looked at afresh, lists the camera "Vendaroscope
        // Program". Runs on a background thread and may block; none: not listed.
        std::function<bool()> systemCameraListed;
        // Starts a program without waiting for it, the child inheriting the
        // standard streams; none once it started, else why it could not. A
        // posix_spawn of the program when not given.
        std::function<std::optional<std::string>(const std::string& path,
                                                 const std::vector<std::string>& args)>
            launchDetached;
        // Ends the application normally (main queue); none: nothing happens.
        std::function<void()> terminate;
        // The program the camera repair starts again; this process's
        // executable (/proc/self/exe) when empty.
        std::string applicationPath;
        // The NDI source; one over the process's NDI runtime when not given.
        std::shared_ptr<NDIOutput> ndi;
        // The desktop's notifications; none in programs that show none.
        std::shared_ptr<Notifications> notifications;
        // The desktop's start-at-log-in registration; none: never registered.
        std::shared_ptr<LoginItem> loginItem;
        // Shows the application in the task bar (true) or only in the tray
        // (false); none in programs without windows.
        std::function<void(bool regular)> setActivationPolicy;
        // Where the tray icon's state goes; MenuBarStatus::shared() when none.
        MenuBarStatus* menuBarStatus = nullptr;
    };

    // Builds the model and runs its construction sequence. Call on the main queue.
    static std::shared_ptr<AppModel> create(Ports ports);
    explicit AppModel(Ports ports);  // use create()
    ~AppModel();

    // Observers of the one change signal (main queue).
    void observe(std::function<void()> observer);
    // Each activity-log line as it is added (the headless host prints them).
    std::function<void(const std::string&)> onLogLine;

    // ---- published fields, in declaration order ----
    Published<std::string> url;
    Published<std::string> pcrHost;
    Published<std::string> detectStatus;
    Published<std::vector<PcrEntry>> pcrs;
    Published<std::string> selectedPcrId;
    Published<CameraExtensionState> extensionState{CameraExtensionState{ExtensionChecking{}}};
    Published<bool> restartingCameraService{false};
    Published<std::string> sinkStatus{"Disconnected"};
    Published<bool> running{false};
    Published<bool> receivingProgram{false};
    Published<bool> startStopLocked{false};
    Published<bool> ffmpegRunning{false};
    Published<double> inputFps{0};
    Published<std::int64_t> droppedFrames{0};
    Published<double> audioLevel{0};
    Published<double> audioLevelDb{-60};
    Published<std::vector<AudioDevice>> audioDevices;
    Published<std::uint32_t> selectedAudioDevice{0};
    Published<AudioDriverState> audioDriverState{AudioDriverState{DriverUnavailable{}}};
    Published<bool> repairingAudioDriver{false};
    Published<double> audioDelayMs{0};
    Published<double> audioGainDb{0};
    Published<double> videoDelayMs{0};
    Published<std::vector<std::string>> logLines;
    Published<bool> ndiEnabled{false};
    Published<std::string> ndiName;
    Published<std::string> ndiStatus{"Off"};
    Published<bool> setupCompleted{false};
    Published<bool> showInDock{false};
    Published<bool> resumeAtLogin{true};
    Published<bool> openAtLogin{false};
    Published<std::string> loginItemNote;
    Published<std::optional<PreviewImage>> preview;
    Published<std::optional<bool>> cameraVisibleSystemWide;
    Published<std::optional<WallTime>> programLostSince;
    Published<bool> discoveryStarted{false};

    // ---- operations (main queue) ----
    void log(const std::string& message);
    void startServices();
    void startSending();
    void stopSending();
    void lockStartStop();
    static bool isCompleteProgramURL(const std::string& text);

    // The panel's start/stop control and the application's Quit command.
    void toggleSendingFromPanel();
    void quitFromMenu(const std::function<void()>& terminate);
    // The application is about to end by any route: only the receiver stops.
    void applicationWillTerminate();

    // Setters of persisted fields: publish, store, then their side effects.
    void setUrl(const std::string& value);
    void setPcrHost(const std::string& value);
    void setAudioDelayMs(double value);
    void setAudioGainDb(double value);
    void setVideoDelayMs(double value);
    void setNdiEnabled(bool value);
    void setNdiName(const std::string& value);
    void setSetupCompleted(bool value);
    void setShowInDock(bool value);
    void setResumeAtLogin(bool value);
    // Registers or removes the login item, then shows what the desktop really has.
    void setOpenAtLogin(bool value);
    void refreshLoginItem();

    // What the panel and the tray icon show: the one problem that matters
    // most (none when all is well) and the icon's state.
    std::optional<PanelProblem> currentProblem() const;
    MenuBarIconState menuBarIconState() const;
    // The panel became visible to the user or stopped being so: the preview
    // is made only while it is, and the output devices are listed afresh.
    void panelVisibilityChanged(bool visible);

    // The panel's visibility (1 while shown), read by the preview.
    AtomicInt previewWanted;

    // Private state other parts of the program read.
    bool servicesStarted() const { return servicesStarted_; }
    bool reopenedForCamera() const { return reopenedForCamera_; }
    bool cameraServiceRestarted() const { return cameraServiceRestarted_; }
    int silentTicks() const { return silentTicks_; }
    bool hadProgramSinceStart() const { return hadProgramSinceStart_; }
    std::shared_ptr<ProgramReceiver> receiver() const { return receiver_; }

    // The statistics tick (every 0.5 s) and the video path, exposed for the
    // timers and the receiver binding.
    void statisticsTick();
    void videoPath(std::span<const std::uint8_t> frame);
    // The same for a frame the receiver read straight into a picture lent by
    // lendFrameSlot: it goes on without a copy of its own.
    ProgramReceiver::FrameSlot lendFrameSlot();
    void videoPath(std::span<const std::uint8_t> frame, ProgramReceiver::FrameSlot slot);

    // Sound: the device list and choice, and the 30 Hz level meter.
    void refreshAudioDevices();
    // The user's choice of output device (0: none). It stays through later
    // listings while the device is listed; "none" stays until another choice.
    void setSelectedAudioDevice(std::uint32_t value);
    void updateAudioMeter();
    // The camera check (every 2 s): whether the camera is visible, and the
    // sink kept connected to it while sending.
    void checkCamera();
    // With it, every 2 s while sending: a sound output whose device went is
    // started again once a device is back.
    void checkAudioOutput();

    // The camera program's installation: "Install / update", uninstall, and
    // the condensed state made again from what is known (publishing only a
    // change), followed by the system-wide look when the camera has not started.
    void activateExtension();
    void deactivateExtension();
    void refreshExtensionState();

    // The camera repair: asks in the background whether the system lists the
    // camera; reopens the application when only it lost the camera, else
    // restarts the camera service first (one restart at a time).
    void checkSystemCamera();
    void repairCamera();
    void restartCameraService();
    void relaunchApp();

    // Reinstalls the virtual microphone (one repair at a time).
    void repairAudioDriver();

    // The studio: asks the media server on pcrHost which programme is on air;
    // takes each sorted list of announced studios; derives the address from
    // the chosen one.
    void detectProgramURL();
    void applyPcrList(std::vector<PcrEntry> list);
    void applySelectedPcr();
    void setSelectedPcrId(const std::string& value);
    // Starts watching for studios (callers start it once, see discoveryStarted).
    void startDiscovery();
    // Starts watching for studios unless that has begun already: the services
    // and the welcome assistant both may ask.
    void startDiscoveryOnce();
    const std::shared_ptr<PcrBrowser>& pcrBrowser() const { return pcrBrowser_; }
    // The chosen studio, when it is in the list, and the name the user knows it by.
    std::optional<PcrEntry> selectedPcr() const;
    std::string studioName() const;

    // Programme health (every statistics tick): the loss of the programme
    // and the set-up problems, each told once by a notification.
    void checkProgramHealth();
    void notifyProblems();
    void postNotification(const std::string& identifier, const std::string& title,
                          const std::string& body);

    // Switches the NDI source on or off as ndiEnabled says.
    void applyNDISettings();
    const std::shared_ptr<NDIOutput>& ndi() const { return ndi_; }

  private:
    friend struct test::ModelState;
    void construct();
    template <class T>
    void publish(Published<T>& field, T value) {
        field.value_ = std::move(value);
        changed();
    }
    void changed();
    void makePreview(const PixelBuffer& picture);
    void evaluateCameraRepairMarker();

    // Places where later parts of the program plug in; each does nothing until
    // its part is present.
    void connectSink();
    void updateSinkStatus();
    void applyAudioSettings();
    void startAudioOutput();
    void stopAudioOutput();
    void updateMenuBarIcon();
    void requestExtensionProperties();
    void applyActivationPolicy();

    // Answers to the camera program's requests (main queue).
    ReplacementAction actionForReplacing(ExtensionRequestId request,
                                         const ExtensionProperties& existing,
                                         const ExtensionProperties& replacement) override;
    void requestNeedsUserApproval(ExtensionRequestId request) override;
    void foundProperties(ExtensionRequestId request,
                         const std::vector<ExtensionProperties>& properties) override;
    void requestFinished(ExtensionRequestId request, ExtensionRequestResult result) override;
    void requestFailed(ExtensionRequestId request, const ExtensionError& error) override;
    void applySystemCameraAnswer(bool listed);

    Ports ports_;
    ActivityLog activityLog_;
    std::vector<std::function<void()>> observers_;

    bool checkingSystemCamera_ = false;
    bool hadProgramSinceStart_ = false;
    bool lostNotified_ = false;
    int silentTicks_ = 0;
    std::set<std::string> notifiedProblems_;
    bool servicesStarted_ = false;
    AtomicInt lastPreviewAt_;
    std::shared_ptr<ProgramReceiver> receiver_;
    std::shared_ptr<CameraSink> sink_;
    std::shared_ptr<AudioOutput> audio_;
    std::shared_ptr<PcrBrowser> pcrBrowser_;
    std::shared_ptr<NDIOutput> ndi_;
    std::shared_ptr<SerialQueue> videoQueue_;
    AtomicInt videoDelay_;
    AtomicInt frameCounter_;
    bool restoreAudio_ = false;  // the output's device went while sending
    // Which device selectedAudioDevice named when it was chosen.
    std::uint64_t selectedAudioIdentity_ = 0;
    // The user chose no output device: listings do not choose one again.
    bool noAudioDeviceChosen_ = false;
    // What the camera program's requests told: the installed version ("" =
    // none active, none = not learned), the progress of a request and the
    // result that stands until the next one.
    std::optional<std::string> installedExtension_;
    bool extensionLookupFailed_ = false;
    std::optional<std::string> extensionRequestStatus_;
    std::optional<CameraExtensionState> extensionOutcome_;
    std::optional<ExtensionRequestId> propertiesRequestID_;
    std::optional<ExtensionRequestId> deactivationRequestID_;
    bool cameraVisible_ = false;
    std::optional<WallTime> cameraMissingSince_;
    bool cameraServiceRestarted_ = false;
    bool reopenedForCamera_ = false;
    std::uint64_t startStopLocks_ = 0;
};

}  // namespace vsc
