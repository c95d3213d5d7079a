// The connection machinery both provider links share: one logical link built from a succession
// of WebSocket connections. It runs the connection attempts (token, socket, setup timer, a
// once-only completion), retries failed ones with jittered exponential backoff up to the retry
// cap, stops at errors no retry mends, guards every attempt series with a generation so that work
// begun before a `close` never takes over a link connected again since, queues audio while no
// connection is ready, renews a connection when its link asks (the old one retired and drained),
// reconnects after a drop (a connection that drops young, `Translator::shortLivedMs`, counts as one
// more failed attempt), hides the credentials it presented from every text it shows, and closes in
// every state.
//
// A link derives from it and adds only its own protocol through the hooks below: what a
// connection carries, how a token becomes a socket, when a connection is ready, how it is
// retired and closed, when it is renewed.
//
// Threading: every operation, hook, socket callback, timer block and token completion runs on the
// core queue. Nothing locks. Socket callbacks, the setup, drain and renewal timers and the
// completions of an attempt hold the link weakly; the token completion and the backoff timers
// hold it until they have run.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/links/translator.h"

namespace quendra {

class ConnectedTranslator : public Translator {
public:
    // One WebSocket connection; a link derives its own to carry what its protocol needs. Compared
    // by identity. Its socket's callbacks keep it alive until the socket reports its close.
    class Connection {
    public:
        explicit Connection(std::shared_ptr<WebSocketLike> socket) : ws(std::move(socket)) {}
        virtual ~Connection() = default;
        Connection(const Connection&) = delete;
        Connection& operator=(const Connection&) = delete;

        const std::shared_ptr<WebSocketLike> ws;
        bool ready = false;    // the service confirmed the setup
        bool retired = false;  // takes no more audio; closed when its drain ends
        std::shared_ptr<Cancellable> drainTimer;

    private:
        friend class ConnectedTranslator;
        // Completes the attempt waiting for this connection's readiness; taken by the first end.
        std::function<void(tl::expected<std::shared_ptr<Connection>, Error>)> pending_;
        std::shared_ptr<Cancellable> setupTimer_;
        bool socketClosed_ = false;
    };
    using ConnectionPtr = std::shared_ptr<Connection>;

    // Why an attempt that had a socket ended without a ready connection.
    enum class AttemptEnd { timedOut, socketClosed, refused, aborted };

    // One attempt of a series: its number from 0 and the resumption handle it offers, if the
    // link resumes sessions.
    struct Attempt {
        std::int64_t number = 0;
        std::optional<std::string> resumptionHandle;
    };

    // Closes and detaches every connection still open, so none outlives the link.
    ~ConnectedTranslator() override;

    void connect(Completion completion) final;

    // Chunks discarded because the queue was full; never reset.
    std::int64_t droppedChunks() const { return droppedChunks_; }
    // Capacity of the queue of audio waiting for a ready connection: `maxQueueMs` in 100 ms
    // chunks, halves away from zero, at least 1.
    std::int64_t maxQueueChunks() const { return maxQueueChunks_; }

protected:
    // `redact` hides the provider's credential patterns in every log line and shown error;
    // `shutReason` is the reason of the close that ends a retired connection.
    ConnectedTranslator(TranslatorOptions options, std::string (*redact)(std::string_view),
                        std::string shutReason);

    // ---- What each link adds -----------------------------------------------------------------

    // Checks made before a `connect` starts a series. False refuses it: the link has reported the
    // refusal to the owner and called the completion.
    virtual bool admitConnect(const Completion& completion);
    // The resumption handle attempt number `attempt` offers; none by default.
    virtual std::optional<std::string> resumptionHandleFor(std::int64_t attempt) const;
    // Turns a delivered token into a connection whose socket is being opened (see `openSocket`),
    // or the error that ends this attempt. The credential is not remembered yet.
    [[nodiscard]] virtual tl::expected<ConnectionPtr, Error> openConnection(const Attempt& attempt,
                                                              const Token& token) = 0;
    // The socket of `connection` opened.
    virtual void connectionOpened(const ConnectionPtr& connection);
    // One text message of the service on `connection`.
    virtual void connectionMessage(const ConnectionPtr& connection, const std::string& text) = 0;
    // The error of a socket that closed before its connection was ready; `description` is
    // "codice N", followed by the reason when there is one.
    virtual Error closedBeforeReady(int code, const std::string& description) const = 0;
    // The error a setup that was not confirmed in time ends with.
    virtual Error setupTimedOut() const = 0;
    // An attempt ended without a ready connection; the link closes the socket its way (or
    // leaves it, when the peer closed it).
    virtual void attemptEnded(const ConnectionPtr& connection, AttemptEnd why) = 0;
    // A failed attempt may be retried at once, without backoff: the number of the attempt to
    // run then, or none to go on as the error says.
    virtual std::optional<std::int64_t> retryAtOnce(const Attempt& attempt, const Error& error);
    // `connection` is retired; the link may tell its peer.
    virtual void retiring(const ConnectionPtr& connection);
    // The wait before the planned renewal of `connection`, just activated; none, an infinite or
    // a non-positive one arm no renewal.
    virtual std::optional<double> renewAfterMs(const ConnectionPtr& connection) const = 0;
    // A queued chunk, now that `connection` has become the active one.
    virtual void sendQueued(const ConnectionPtr& connection, const std::vector<std::int16_t>& samples) = 0;

    // ---- What the machinery offers the link ---------------------------------------------------

    std::shared_ptr<ConnectedTranslator> self();

    // The socket for an attempt, or the error when the factory gave none.
    [[nodiscard]] tl::expected<std::shared_ptr<WebSocketLike>, Error> openSocket(const std::string& url,
                                                                   const std::vector<std::string>& protocols);
    // Completes the attempt waiting for `connection`: it becomes ready. Nothing when the attempt
    // has ended already.
    void connectionReady(const ConnectionPtr& connection);
    // Ends the attempt waiting for `connection` with `error`; nothing when it has ended already
    // or the connection is ready.
    void failAttempt(const ConnectionPtr& connection, Error error, AttemptEnd why);
    // Ends the attempt in progress, if one has a socket, with `error`.
    void abortAttempt(Error error);

    // Starts a renewal; `reason` is logged, and "dropped" (with `dropText` describing the drop)
    // reports `reconnecting` and counts the young drops.
    void renew(const std::string& reason, const std::string& dropText = {});
    void retire(const ConnectionPtr& connection, double drainMs);
    // Closes a retired connection now.
    void shut(const ConnectionPtr& connection);
    // The service ended the active connection: it is closed now and renewed without a change of
    // state; `reason` is logged.
    void replaceEndedActive(const std::string& reason);
    // The first half of every `close`: a second call with no connect in between returns false
    // and does nothing. Otherwise ends the series, the queue, the renewal and every connection;
    // with `interruptAttempt` the attempt in progress ends now with "chiuso" (its socket closed the
    // link's way) instead of running to its end and being retired then.
    [[nodiscard]] bool closeConnections(bool interruptAttempt);

    // The link takes audio: not closing, neither closed nor failed.
    bool takesAudio() const;
    // The active connection takes audio now.
    bool canSendNow() const;
    // Queues a chunk for the next ready connection, dropping the oldest beyond the capacity.
    void enqueue(const std::vector<std::int16_t>& samples);

    // Reports the usage at most once per `usageIntervalMs`; the first call always does.
    void maybeEmitUsage();

    std::string redacted(std::string_view text) const;
    Error redacted(const Error& error) const;

    const ConnectionPtr& active() const { return active_; }
    bool closing() const { return closing_; }
    // An ephemeral token already expired by the scheduler's clock gives its error.
    [[nodiscard]] std::optional<Error> expiredToken(const Token& token) const;

    // The options' logger, every line first passed through the credential redactor.
    Logger log_;

private:
    using Opened = tl::expected<ConnectionPtr, Error>;
    using OpenCompletion = std::function<void(Opened)>;

    bool stale(std::uint64_t generation) const { return closing_ || generation != generation_; }
    void openWithRetry(std::int64_t attempt, std::optional<Error> lastError, std::uint64_t generation,
                       OpenCompletion completion);
    void openOnce(Attempt attempt, std::uint64_t generation, OpenCompletion completion);
    void startAttempt(const Attempt& attempt, std::uint64_t generation, Result<Token> token,
                      OpenCompletion completion);
    static void socketClosed(const std::shared_ptr<ConnectedTranslator>& self,
                             const ConnectionPtr& connection, int code, const std::string& reason);
    static void detach(const ConnectionPtr& connection);
    void activate(const ConnectionPtr& connection);

    std::string (*redact_)(std::string_view);
    const std::string shutReason_;
    ConnectionPtr active_;
    std::vector<ConnectionPtr> draining_;
    bool switching_ = false;  // an attempt series (first connect or renewal) is under way
    std::deque<std::vector<std::int16_t>> queue_;
    bool closing_ = false;
    // Bumped by `close`: a series started before it ends as if closing, even when a new
    // `connect` has cleared `closing_` meanwhile.
    std::uint64_t generation_ = 0;
    std::shared_ptr<Cancellable> renewTimer_;
    double lastUsageEmit_;
    std::int64_t droppedChunks_ = 0;
    std::int64_t maxQueueChunks_;
    std::int64_t youngDrops_ = 0;  // drops in a row of connections that died young
    double activatedAtMs_ = 0;
    std::weak_ptr<Connection> attempting_;  // the connection whose attempt `abortAttempt` ends
    // Every connection whose socket has not reported its close yet, for the destructor.
    std::vector<std::weak_ptr<Connection>> connections_;
};

}  // namespace quendra
