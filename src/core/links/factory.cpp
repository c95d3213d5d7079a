#include "core/links/factory.h"

#include "core/links/gemini/gemini_translator.h"
#include "core/links/mock_translator.h"
#include "core/links/openai/openai_translator.h"

namespace quendra {

Result<std::shared_ptr<Translator>> createTranslator(const std::string& provider,
                                                     TranslatorOptions options) {
    if (provider == "gemini") {
        return std::shared_ptr<Translator>(std::make_shared<GeminiTranslator>(std::move(options)));
    }
    if (provider == "openai") {
        return std::shared_ptr<Translator>(std::make_shared<OpenAITranslator>(std::move(options)));
    }
    if (provider == "mock") {
        return std::shared_ptr<Translator>(std::make_shared<MockTranslator>(std::move(options)));
    }
    return tl::unexpected(Error{LinkError{"fornitore non supportato: " + provider, false, false}});
}

}  // namespace quendra
