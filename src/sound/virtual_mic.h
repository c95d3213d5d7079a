// The program's own virtual microphone, so that nobody has to install or configure anything to be
// heard translated in a call: "Ombrix Voce", a null sink (48000 Hz, 16-bit: Chromium records
// 16-bit only) that the speak graph plays into, and "Ombrix Microfono", a proper source fed by its
// monitor (module-remap-source), which call applications list as a microphone (Chromium and Zoom
// hide monitors). Both are modules and stay after the program quits: removing them would make a
// call application fall back to the real microphone and send untranslated speech. A server that
// restarts loses them; while the program runs they are made again when it comes back, unless
// they were removed (on request, or by someone else while the server ran).
#pragma once

#include <tl/expected.hpp>

#include <memory>
#include <string>

#include "sound/audio_types.h"
#include "sound/sound_server.h"

namespace quendra {

class VirtualMicrophone {
public:
    static constexpr const char* sinkName = "ombrix_voce";
    static constexpr const char* sourceName = "ombrix_microfono";

    // Main thread. Creates both devices when no sink or source with "ombrix" in its name or
    // description exists, and keeps "Ombrix Microfono" at 100 % volume while it lives (call
    // applications' automatic gain control moves it; the first correction is logged).
    static std::shared_ptr<VirtualMicrophone> ensure(std::shared_ptr<SoundServer> server, Logger logger);
    ~VirtualMicrophone();
    VirtualMicrophone(const VirtualMicrophone&) = delete;
    VirtualMicrophone& operator=(const VirtualMicrophone&) = delete;

    // True when this call created the devices (false: they were there already, or creating them
    // failed, which is logged).
    bool created() const { return created_; }

    // Main thread. Unloads both devices (for a button in the panel); they are not made again.
    // False when nothing was removed.
    bool remove();

private:
    VirtualMicrophone() = default;
    bool createDevices();    // main thread
    void onServerChange();   // main thread
    void keepVolume();

    std::shared_ptr<SoundServer> server_;
    Logger logger_;
    bool created_ = false;
    bool volumeLogged_ = false;
    bool wanted_ = true;         // false once removed
    // The server connection of the last change (0: none yet), whether our devices showed on it
    // and whether this program made them on it (a creation shows a little later).
    std::uint64_t connection_ = 0;
    bool seenOnConnection_ = false;
    bool madeOnConnection_ = false;
    int attemptsOnConnection_ = 0;
    int changeHandler_ = 0;
};

}  // namespace quendra
