// The fixed paths and names the player uses on the console, in one place.
// Modules take these as parameters (with these values as defaults), so tests
// can point them at temporary folders.
#pragma once

namespace ze::paths {

// Application folder and its files.
inline constexpr const char* kAppDir = "/mnt/SDCARD/Apps/ze-radio";
inline constexpr const char* kAppCatalog = "/mnt/SDCARD/Apps/ze-radio/channels.json";
inline constexpr const char* kAppFavorites = "/mnt/SDCARD/Apps/ze-radio/favorites.json";
inline constexpr const char* kAppStreamScript = "/mnt/SDCARD/Apps/ze-radio/bin/play_stream.sh";
inline constexpr const char* kLocalStreamScript = "./bin/play_stream.sh";
inline constexpr const char* kLocalFavorites = "./favorites.json";

// Runtime files of playback and input.
inline constexpr const char* kPlayingMarker = "/tmp/ze_radio_playing";
inline constexpr const char* kStateFile = "/tmp/ze_radio_state.json";
inline constexpr const char* kStreamPidFile = "/tmp/ze_radio_stream.pid";
inline constexpr const char* kNowPlayingFile = "/tmp/ze_radio_now.json";
inline constexpr const char* kCommandFifo = "/tmp/ze_radio_cmd";
inline constexpr const char* kUpdatePackage = "/tmp/ze-radio-update.zip";

// Console files.
inline constexpr const char* kBluetoothAddress = "/tmp/btdev_addr";
inline constexpr const char* kSystemSettings = "/mnt/UDISK/system.json";
inline constexpr const char* kDeviceModelFile = "/etc/trimui_device.txt";
inline constexpr const char* kFramebufferDevice = "/dev/fb0";
inline constexpr const char* kInputEventPrefix = "/dev/input/event";

// Players.
inline constexpr const char* kSystemMpv = "/usr/bin/mpv";
inline constexpr const char* kCrossMixMpv = "/mnt/SDCARD/Apps/CrossMix/bin/mpv";

// Environment variables.
inline constexpr const char* kSimulatorEnv = "TRIMUI_SIMULATOR";
inline constexpr const char* kDeviceEnv = "TRIMUI_DEVICE";

}  // namespace ze::paths
