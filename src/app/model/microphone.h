// Whether the program may record the microphone. Linux desktops ask nothing, so the executable
// uses AuthorizedMicrophone; the interface leaves room for a sandbox portal.
//
// Threading: called on the UI thread; the request's completion may arrive on any thread.
#pragma once

#include <functional>

namespace quendra {

enum class MicrophoneAccess { notDetermined, restricted, denied, authorized };

class MicrophonePermission {
public:
    virtual ~MicrophonePermission() = default;
    virtual MicrophoneAccess status() = 0;
    // Asks the user; `done` hears whether access was granted.
    virtual void request(std::function<void(bool granted)> done) = 0;
};

class AuthorizedMicrophone final : public MicrophonePermission {
public:
    MicrophoneAccess status() override { return MicrophoneAccess::authorized; }
    void request(std::function<void(bool granted)> done) override { done(true); }
};

}  // namespace quendra
