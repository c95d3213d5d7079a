#include "app/model/app_logger.h"

namespace quendra {

bool debugSwitch(const std::optional<std::string>& quendraDebug) { return quendraDebug == "1"; }

Logger makeAppLogger(TextSink logFile, TextSink standardError, bool debug) {
    Logger logger;
    logger.debug = [logFile, standardError, debug](const std::string& message) {
        if (logFile) logFile(message);
        if (debug && standardError) standardError(message);
    };
    logger.warn = [logFile, standardError](const std::string& message) {
        if (logFile) logFile("ATTENZIONE " + message);
        if (standardError) standardError(message);
    };
    return logger;
}

}  // namespace quendra
