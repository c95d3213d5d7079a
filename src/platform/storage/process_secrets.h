// Keeping the process's secrets (the session token, in every Settings copy) out of core dumps
// and away from other processes of the same user.
#pragma once

#include <optional>
#include <string>

namespace quendra {

// Marks the process non-dumpable: no core file is written when it crashes or aborts, and
// processes of the same user can no longer attach to it or read its memory through /proc.
// Programs call it first thing in main(), before any secret is read. The error text when the
// kernel refused, otherwise nothing. Any thread; applies to the whole process.
[[nodiscard]] std::optional<std::string> protectProcessSecrets();

}  // namespace quendra
