# What `cmake --install` lays out, and the Debian package CPack makes of it
# (`cpack -G DEB` in the build folder). The programs find their resources
# and helpers relative to themselves: <prefix>/share/vendaroscope-virtualcam
# and <prefix>/libexec/vendaroscope-virtualcam, as in the build tree.
include(GNUInstallDirs)

set(VSC_SHARE_DIR share/vendaroscope-virtualcam)
set(VSC_HELPER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/vendaroscope-virtualcam)

install(TARGETS vendaroscope-virtualcam vsc-headless RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# What a desktop needs to list and start the application: its desktop entry
# (the application menu; the autostart entry starts the same program) and icon.
install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/vendaroscope-virtualcam.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/vendaroscope-virtualcam.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(TARGETS vendaroscope-microphone vendaroscope-supervise RUNTIME DESTINATION ${VSC_HELPER_DIR})
# The camera's bundle: the application copies it for the user when it
# installs the camera.
install(TARGETS vendaroscope-camera RUNTIME
        DESTINATION ${VSC_SHARE_DIR}/com.vendaroscope.virtualcam.camera)
install(FILES ${CMAKE_BINARY_DIR}/${VSC_SHARE_DIR}/com.vendaroscope.virtualcam.camera/manifest.json
        DESTINATION ${VSC_SHARE_DIR}/com.vendaroscope.virtualcam.camera)
install(FILES ${PROJECT_SOURCE_DIR}/resources/pipewire/vendaroscope-program-audio.conf
        DESTINATION ${VSC_SHARE_DIR}/pipewire)

set(CPACK_PACKAGE_NAME vendaroscope-virtualcam)
set(CPACK_PACKAGE_VENDOR "Vendaroscope")
set(CPACK_PACKAGE_CONTACT "Vendaroscope <support@vendaroscope.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Virtual webcam and microphone carrying a broadcast studio's programme")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Vendaroscope Virtual Webcam finds the studio on the local network, pulls its\n\
programme feed over RTSP and offers it to video calls as the camera\n\
Vendaroscope Program and the microphone Vendaroscope Program Audio.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VSC_BUILD_NUMBER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The libraries we link are found by dpkg-shlibdeps; the programs we run are
# named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "ffmpeg, pipewire, pipewire-bin, wireplumber, avahi-daemon, dbus-user-session | dbus")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gstreamer1.0-pipewire, xdg-desktop-portal")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
