#include "core/links/connected_translator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/base/text.h"

namespace quendra {

namespace {

Error linkError(std::string message) { return Error{LinkError{std::move(message), std::nullopt, false}}; }

void cancelTimer(std::shared_ptr<Cancellable>& timer) {
    if (timer) timer->cancel();
    timer = nullptr;
}

}  // namespace

ConnectedTranslator::ConnectedTranslator(TranslatorOptions options,
                                         std::string (*redact)(std::string_view), std::string shutReason)
    : Translator(std::move(options)),
      redact_(redact),
      shutReason_(std::move(shutReason)),
      lastUsageEmit_(-std::numeric_limits<double>::infinity()) {
    // Every line passes the credential redactor: URLs, close reasons and errors may carry the
    // credential.
    const Logger base = opts.logger;
    log_.debug = [base, redact, secrets = credentials()](const std::string& text) {
        if (base.debug) base.debug(redact(withoutSecrets(text, *secrets)));
    };
    log_.warn = [base, redact, secrets = credentials()](const std::string& text) {
        if (base.warn) base.warn(redact(withoutSecrets(text, *secrets)));
    };
    const double chunks = std::round(opts.tuning.maxQueueMs / 100);
    maxQueueChunks_ = chunks >= 1 ? static_cast<std::int64_t>(std::min(chunks, 1e15)) : 1;
}

ConnectedTranslator::~ConnectedTranslator() {
    cancelTimer(renewTimer_);
    for (const auto& weak : connections_) {
        const auto connection = weak.lock();
        if (!connection || connection->socketClosed_) continue;
        cancelTimer(connection->setupTimer_);
        cancelTimer(connection->drainTimer);
        connection->pending_ = nullptr;
        detach(connection);
        connection->ws->close(1000, shutReason_);
    }
}

std::shared_ptr<ConnectedTranslator> ConnectedTranslator::self() {
    return std::static_pointer_cast<ConnectedTranslator>(shared_from_this());
}

std::string ConnectedTranslator::redacted(std::string_view text) const {
    return redact_(withoutCredentials(text));
}

Error ConnectedTranslator::redacted(const Error& error) const {
    return std::visit(
        [this](auto e) -> Error {
            e.message = redacted(e.message);
            return e;
        },
        error);
}

// ---------------------------------------------------------------------------------------------
// Default hooks

bool ConnectedTranslator::admitConnect(const Completion&) { return true; }

std::optional<std::string> ConnectedTranslator::resumptionHandleFor(std::int64_t) const {
    return std::nullopt;
}

void ConnectedTranslator::connectionOpened(const ConnectionPtr&) {}

std::optional<std::int64_t> ConnectedTranslator::retryAtOnce(const Attempt&, const Error&) {
    return std::nullopt;
}

void ConnectedTranslator::retiring(const ConnectionPtr&) {}

// ---------------------------------------------------------------------------------------------
// Attempts

void ConnectedTranslator::connect(Completion completion) {
    if (active_ || switching_) {
        if (completion) completion(std::nullopt);
        return;
    }
    closing_ = false;
    youngDrops_ = 0;
    if (!admitConnect(completion)) return;
    // Set before the state report, so that a `close` from inside it ends this series cleanly.
    switching_ = true;
    if (state != LinkState::connecting) setState(LinkState::connecting);
    const auto generation = generation_;
    std::weak_ptr<ConnectedTranslator> weak = self();
    openWithRetry(0, std::nullopt, generation,
                  [weak, generation, completion = std::move(completion)](Opened result) {
                      const auto self = weak.lock();
                      if (!self) return;
                      if (result) {
                          if (self->stale(generation)) {
                              self->retire(*result, 0);
                          } else {
                              self->activate(*result);
                              if (self->state != LinkState::open) self->setState(LinkState::open);
                          }
                          if (completion) completion(std::nullopt);
                          return;
                      }
                      // A `close` came in between, and a new `connect` may own the link by now.
                      if (self->stale(generation)) {
                          if (completion) completion(std::nullopt);
                          return;
                      }
                      self->switching_ = false;
                      const Error shown = self->redacted(result.error());
                      self->setState(LinkState::error, errorMessage(shown));
                      if (completion) completion(shown);
                  });
}

void ConnectedTranslator::openWithRetry(std::int64_t attempt, std::optional<Error> lastError,
                                        std::uint64_t generation, OpenCompletion completion) {
    if (stale(generation)) {
        completion(tl::unexpected(linkError("chiuso")));
        return;
    }
    if (attempt > opts.tuning.maxRetries) {
        completion(tl::unexpected(lastError.value_or(linkError("connessione fallita"))));
        return;
    }
    Attempt current{attempt, resumptionHandleFor(attempt)};
    std::weak_ptr<ConnectedTranslator> weak = self();
    openOnce(current, generation, [weak, current, generation, completion](Opened result) {
        const auto self = weak.lock();
        if (!self) return;
        if (result) {
            completion(std::move(result));
            return;
        }
        const Error error = result.error();
        self->log_.warn("connessione fallita (tentativo " + std::to_string(current.number + 1) +
                        "): " + errorMessage(error));
        if (isNonRetryable(error)) {
            if (const auto next = self->retryAtOnce(current, error)) {
                self->openWithRetry(*next, error, generation, completion);
                return;
            }
            completion(tl::unexpected(error));
            return;
        }
        const auto& tuning = self->opts.tuning;
        if (current.number < tuning.maxRetries) {
            const double delay = retryDelayMs(tuning, current.number, self->opts.random());
            (void)self->opts.scheduler->after(delay, [self, current, error, generation, completion] {
                self->openWithRetry(current.number + 1, error, generation, completion);
            });
            return;
        }
        completion(tl::unexpected(error));
    });
}

void ConnectedTranslator::openOnce(Attempt attempt, std::uint64_t generation, OpenCompletion completion) {
    auto answered = std::make_shared<bool>(false);
    opts.getToken([self = self(), attempt = std::move(attempt), generation,
                   completion = std::move(completion), answered](Result<Token> token) {
        // A token source that answers twice must not open two connections.
        if (std::exchange(*answered, true)) return;
        self->startAttempt(attempt, generation, std::move(token), completion);
    });
}

void ConnectedTranslator::startAttempt(const Attempt& attempt, std::uint64_t generation,
                                       Result<Token> token, OpenCompletion completion) {
    if (stale(generation)) {
        completion(tl::unexpected(linkError("chiuso")));
        return;
    }
    if (!token) {
        completion(tl::unexpected(token.error()));
        return;
    }
    rememberCredential(token->token);
    auto opened = openConnection(attempt, *token);
    if (!opened) {
        completion(tl::unexpected(opened.error()));
        return;
    }
    const ConnectionPtr connection = std::move(*opened);
    connection->pending_ = std::move(completion);
    attempting_ = connection;
    std::erase_if(connections_, [](const std::weak_ptr<Connection>& weak) {
        const auto c = weak.lock();
        return !c || c->socketClosed_;
    });
    connections_.push_back(connection);

    const std::weak_ptr<ConnectedTranslator> weak = self();
    const std::weak_ptr<Connection> weakConnection = connection;
    connection->setupTimer_ = opts.scheduler->after(opts.tuning.setupTimeoutMs, [weak, weakConnection] {
        const auto self = weak.lock();
        const auto c = weakConnection.lock();
        if (self && c) self->failAttempt(c, self->setupTimedOut(), AttemptEnd::timedOut);
    });

    // The socket's callbacks keep the connection alive until its close; that close, or the
    // destructor, clears them. Each copies what it needs first: clearing them destroys the
    // closure that is running.
    const auto& ws = connection->ws;
    ws->onOpen = [weak, connection] {
        const auto c = connection;
        if (const auto self = weak.lock()) self->connectionOpened(c);
    };
    ws->onMessage = [weak, connection](const std::string& text) {
        const auto c = connection;
        if (const auto self = weak.lock()) self->connectionMessage(c, text);
    };
    ws->onClose = [weak, connection](int code, const std::string& reason) {
        const auto c = connection;
        const auto self = weak.lock();
        const std::string why = reason;
        socketClosed(self, c, code, why);
    };
}

tl::expected<std::shared_ptr<WebSocketLike>, Error> ConnectedTranslator::openSocket(
    const std::string& url, const std::vector<std::string>& protocols) {
    auto ws = opts.makeSocket(url, protocols);
    if (!ws) return tl::unexpected(linkError("connessione fallita"));
    return ws;
}

std::optional<Error> ConnectedTranslator::expiredToken(const Token& token) const {
    if (token.kind == Token::Kind::ephemeral && token.expiresAtMs &&
        *token.expiresAtMs <= opts.scheduler->nowMs()) {
        return linkError("gettone già scaduto (controlla data e ora del computer)");
    }
    return std::nullopt;
}

void ConnectedTranslator::connectionReady(const ConnectionPtr& connection) {
    if (!connection->pending_) return;
    connection->ready = true;
    cancelTimer(connection->setupTimer_);
    if (attempting_.lock() == connection) attempting_.reset();
    const auto pending = std::exchange(connection->pending_, nullptr);
    pending(connection);
}

void ConnectedTranslator::failAttempt(const ConnectionPtr& connection, Error error, AttemptEnd why) {
    if (connection->ready || !connection->pending_) return;
    cancelTimer(connection->setupTimer_);
    if (attempting_.lock() == connection) attempting_.reset();
    const auto pending = std::exchange(connection->pending_, nullptr);
    pending(tl::unexpected(std::move(error)));
    attemptEnded(connection, why);
}

void ConnectedTranslator::abortAttempt(Error error) {
    const auto connection = attempting_.lock();
    attempting_.reset();
    if (connection) failAttempt(connection, std::move(error), AttemptEnd::aborted);
}

void ConnectedTranslator::detach(const ConnectionPtr& connection) {
    const auto& ws = connection->ws;
    ws->onOpen = nullptr;
    ws->onMessage = nullptr;
    ws->onClose = nullptr;
}

void ConnectedTranslator::socketClosed(const std::shared_ptr<ConnectedTranslator>& self,
                                       const ConnectionPtr& connection, int code,
                                       const std::string& reason) {
    cancelTimer(connection->setupTimer_);
    connection->socketClosed_ = true;
    detach(connection);
    cancelTimer(connection->drainTimer);

    std::string description = "codice " + std::to_string(code);
    if (!reason.empty()) description += " " + reason;

    if (!self) return;
    if (!connection->ready) {
        self->failAttempt(connection, self->closedBeforeReady(code, description), AttemptEnd::socketClosed);
        return;
    }
    std::erase(self->draining_, connection);
    if (!connection->retired && self->active_ == connection && !self->closing_) {
        const std::string what = "connessione caduta (" + description + ")";
        self->log_.warn(what);
        self->active_ = nullptr;
        self->renew("dropped", what);
    }
}

// ---------------------------------------------------------------------------------------------
// Connections

void ConnectedTranslator::activate(const ConnectionPtr& connection) {
    active_ = connection;
    switching_ = false;
    activatedAtMs_ = opts.scheduler->nowMs();
    auto queued = std::exchange(queue_, {});
    for (const auto& chunk : queued) sendQueued(connection, chunk);
    cancelTimer(renewTimer_);
    const auto renewAfter = renewAfterMs(connection);
    // An infinite delay means never; the scheduler would take it as "now".
    if (renewAfter && *renewAfter > 0 && std::isfinite(*renewAfter)) {
        std::weak_ptr<ConnectedTranslator> weak = self();
        renewTimer_ = opts.scheduler->after(*renewAfter, [weak] {
            if (const auto self = weak.lock()) self->renew("timer");
        });
    }
}

void ConnectedTranslator::retire(const ConnectionPtr& connection, double drainMs) {
    connection->retired = true;
    if (std::find(draining_.begin(), draining_.end(), connection) == draining_.end()) {
        draining_.push_back(connection);
    }
    cancelTimer(connection->drainTimer);
    retiring(connection);
    if (drainMs <= 0) {
        shut(connection);
        return;
    }
    const std::weak_ptr<ConnectedTranslator> weak = self();
    const std::weak_ptr<Connection> weakConnection = connection;
    connection->drainTimer = opts.scheduler->after(drainMs, [weak, weakConnection] {
        const auto self = weak.lock();
        const auto c = weakConnection.lock();
        if (self && c) self->shut(c);
    });
}

void ConnectedTranslator::shut(const ConnectionPtr& connection) {
    std::erase(draining_, connection);
    cancelTimer(connection->drainTimer);
    connection->ws->close(1000, shutReason_);
}

void ConnectedTranslator::replaceEndedActive(const std::string& reason) {
    const auto ended = std::exchange(active_, nullptr);
    ended->retired = true;
    shut(ended);
    renew(reason);
}

void ConnectedTranslator::renew(const std::string& reason, const std::string& dropText) {
    if (closing_ || switching_) return;
    const auto old = active_;
    switching_ = true;
    cancelTimer(renewTimer_);
    log_.debug("rinnovo connessione (" + reason + ")");
    const bool dropped = reason == "dropped";
    // A planned renewal is invisible to the owner; only a drop is reported.
    if (dropped && state != LinkState::reconnecting) setState(LinkState::reconnecting);
    if (old && !old->retired) retire(old, dropped ? 0 : opts.tuning.drainMs);
    const auto generation = generation_;
    std::weak_ptr<ConnectedTranslator> weak = self();
    OpenCompletion done = [weak, generation](Opened result) {
        const auto self = weak.lock();
        if (!self) return;
        if (self->stale(generation)) {
            if (result) self->retire(*result, 0);
            return;
        }
        if (result) {
            self->activate(*result);
            if (self->state != LinkState::open) self->setState(LinkState::open);
            return;
        }
        self->switching_ = false;
        self->active_ = nullptr;
        self->setState(LinkState::error, self->redacted(errorMessage(result.error())));
    };
    if (dropped) {
        // A connection that died young counts as a failed attempt: the reconnection waits the
        // backoff of the young drops in a row, and the retry cap ends them.
        youngDrops_ = opts.scheduler->nowMs() - activatedAtMs_ < shortLivedMs ? youngDrops_ + 1 : 0;
        if (youngDrops_ > 0 && youngDrops_ > opts.tuning.maxRetries) {
            done(tl::unexpected(linkError(dropText.empty() ? "connessione caduta" : dropText)));
            return;
        }
        if (youngDrops_ > 0) {
            const double delay = retryDelayMs(opts.tuning, youngDrops_ - 1, opts.random());
            log_.debug("connessione durata meno di " + std::to_string(static_cast<int>(shortLivedMs / 1000)) +
                       " s: nuovo tentativo tra " + std::to_string(static_cast<std::int64_t>(delay)) + " ms");
            (void)opts.scheduler->after(delay, [me = self(), generation, done] {
                me->openWithRetry(0, std::nullopt, generation, done);
            });
            return;
        }
    }
    openWithRetry(0, std::nullopt, generation, std::move(done));
}

bool ConnectedTranslator::closeConnections(bool interruptAttempt) {
    // A second close, with no connect in between, shows nothing.
    if (closing_ && state == LinkState::closed) return false;
    closing_ = true;
    ++generation_;
    cancelTimer(renewTimer_);
    queue_.clear();  // discarded, not counted as dropped
    if (active_ && std::find(draining_.begin(), draining_.end(), active_) == draining_.end()) {
        draining_.push_back(active_);
    }
    const auto connections = draining_;
    for (const auto& connection : connections) retire(connection, 0);
    if (interruptAttempt) abortAttempt(linkError("chiuso"));
    active_ = nullptr;
    switching_ = false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Audio and usage

bool ConnectedTranslator::takesAudio() const {
    return !closing_ && state != LinkState::closed && state != LinkState::error;
}

bool ConnectedTranslator::canSendNow() const {
    return !switching_ && active_ && active_->ws->isOpen();
}

void ConnectedTranslator::enqueue(const std::vector<std::int16_t>& samples) {
    queue_.push_back(samples);
    while (static_cast<std::int64_t>(queue_.size()) > maxQueueChunks_) {
        queue_.pop_front();
        ++droppedChunks_;
    }
}

void ConnectedTranslator::maybeEmitUsage() {
    const double now = opts.scheduler->nowMs();
    if (now - lastUsageEmit_ >= opts.tuning.usageIntervalMs) {
        lastUsageEmit_ = now;
        reportUsage();
    }
}

}  // namespace quendra
