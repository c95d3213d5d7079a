// Builds the translation link of a provider.
// Threading: called on the core queue, like every operation of the link it returns.
#pragma once

#include <memory>
#include <string>

#include "core/links/translator.h"

namespace quendra {

// Builds the link for a provider identifier ("gemini", "openai", "mock"; exact match).
[[nodiscard]] Result<std::shared_ptr<Translator>> createTranslator(const std::string& provider,
                                                     TranslatorOptions options);

}  // namespace quendra
