#pragma once

// User texts that name a place, tool or action of the operating system, kept
// together so their wording can be read side by side.
namespace vsc::texts {

inline constexpr const char* kFfmpegNotFound = "ffmpeg not found (expected in /usr/bin)";

// The camera program's installation, as the panel and the settings show it.
inline constexpr const char* kCameraWaitingToStart =
    " — waiting for the camera service to start the camera…";
inline constexpr const char* kCameraNotStarted =
    ", but the camera service has not started the camera — apps can't see it";
inline constexpr const char* kCameraNotStartedAfterRestart =
    ", still not started by the camera service — restart your computer";
inline constexpr const char* kRestartToFinishInstalling =
    "Restart your computer to finish installing the camera";
inline constexpr const char* kRestartToFinishUninstalling =
    "Restart your computer to finish uninstalling the camera";

// The camera repair's activity-log lines.
inline constexpr const char* kCameraOnlyThisAppLostIt =
    "Camera: the system shows it, only this app lost it — Repair reopens the app";
inline constexpr const char* kCameraNotStartedBySystem =
    "Camera: the system has not started it — Repair restarts the camera service";
inline constexpr const char* kCameraVisibleToSystemOnly =
    "Camera: visible to the system but not to this app — reopening the app";
inline constexpr const char* kRestartingCameraService = "Camera: restarting the camera service…";
inline constexpr const char* kReopensOnceCameraShown =
    "The app reopens once the system shows the camera…";
// The camera-repair notification after the camera service was restarted.
inline constexpr const char* kRestartComputerTitle = "Restart your computer";
inline constexpr const char* kRestartComputerBody =
    "The camera service still hasn't started the “Vendaroscope Program” camera.";

// The panel's problem banner.
inline constexpr const char* kCheckingWhatSystemSees = "Checking what the system sees…";
inline constexpr const char* kCameraReadyButAppLostIt =
    "The camera is ready on your computer but this app lost it. Repair reopens the app.";
inline constexpr const char* kCameraServiceDidNotStartIt =
    "The camera service didn't start it. Repair restarts the service, then reopens the app.";
inline constexpr const char* kCameraNotStartedAfterRepair =
    "The camera still hasn't started after a repair.";
inline constexpr const char* kCameraFinishesAtRestart =
    "The camera finishes installing at the next restart.";
inline constexpr const char* kNoStudioCheckNetwork =
    "Check that your computer is on the studio's network, or enter the PCR address in Settings.";
inline constexpr const char* kMicrophoneStopThenRepair =
    "Video apps get the picture but no sound. Stop sending, then repair.";
inline constexpr const char* kMicrophoneRepair =
    "Video apps get the picture but no sound. Repair reinstalls it.";

// Under the repair buttons of the settings: no password is asked here.
inline constexpr const char* kRepairsMayNeedAppsRestarted =
    "Video apps that are open may need to be restarted afterwards.";

// The welcome assistant.
inline constexpr const char* kWelcomeCameraIntro =
    "Zoom, Teams and Meet will see your studio program as a camera named “Vendaroscope Program”.";
inline constexpr const char* kWelcomeCameraSecondStep =
    "2. Wait a few seconds while the camera service starts.";
inline constexpr const char* kWelcomeCameraReady = "The camera is ready.";
inline constexpr const char* kWelcomeMicrophoneNotReady =
    "The microphone isn't ready. Repair installs it.";
inline constexpr const char* kWelcomeStudioIntro =
    "The app finds your studio's PCR on the local network.";
inline constexpr const char* kWelcomeNotificationsNote =
    "After Done, the app sends a notification if the picture is cut during a video call.";

// The NDI runtime's library as this system names it.
inline constexpr const char* kNdiLibraryName = "libndi.so.6";
inline constexpr const char* kNdiRuntimeNotFound = "NDI runtime not found (libndi.so.6)";

}  // namespace vsc::texts
