// Connections between the daemon and its clients in the manner of
// NSXPCListener / NSXPCConnection / NSXPCInterface, over Unix stream sockets.
//
// The wire protocol (docs/wire-protocol.md): each message is a 4-byte
// big-endian length and that many bytes of one JSON object, at most 1 MiB.
//   request  {"seq": N, "selector": S, "types": T, "args": [...]}
//   reply    {"seq": N, "reply": [...]}
// Type codes: 'c' a BOOL (JSON true/false), '@' a string (JSON string, or null
// for nil). A message over the limit or that is not a JSON object ends the
// connection. A request whose selector the exported interface does not
// declare, whose "types" differ from the declared reply types, or whose args
// do not fit the declared argument types is dropped without a reply; the
// connection stays open.
//
// Service side
// - Who may connect: a listener admits a peer only when the kernel's
//   credentials of it (SO_PEERCRED, recorded when the peer called connect)
//   show effective user root or the admitted group (PeerAdmission); any other
//   connection is closed at accept, before the delegate hears of it. Such a
//   refusal ends nothing else.
// - Listener: accepts connections on its socket and asks its delegate about
//   each admitted one on a queue of the runtime (never the main thread;
//   decisions for different connections may run at the same time). A refused
//   connection is closed and the listener goes on. Decisions still running
//   and connections open are capped in total and per peer user
//   (ListenerLimits); a connection over a cap is closed as soon as it is
//   accepted. A decision not made within the deadline refuses its connection
//   (the delegate's late answer is ignored); it still counts against the caps
//   until the delegate returns.
// - Connection: one per accepted peer. The peer's pidfd, pid, uid and gid are
//   taken when it is accepted. Requests are read only after resume() (and, for
//   a connection that a listener offers to its delegate, after the delegate
//   has answered YES), and run one after another on the connection's own
//   serial queue. Every message must come from the process captured at
//   accept (peer.h): a message from any other process, such as a forked
//   child writing on an inherited socket or a process that took over the
//   pid, ends the connection and nothing of it is served. When that process
//   exits, the connection ends and requests not yet started are dropped.
// - Invalidation: when the peer closes, the stream breaks, a message ends the
//   connection, a reply cannot be written, the peer process exits, or
//   invalidate() is called, the invalidation handler runs once on the
//   connection's queue. Requests read before a clean close by the peer still
//   run first. A peer that only shuts down its sending side gets the replies
//   of the requests it sent: the connection ends once each of them has been
//   answered or abandoned (or the peer closes, or exits). After invalidate()
//   or a protocol violation, requests not yet started are dropped. Once the
//   handler has run, the connection releases its handlers and exported
//   object.
// - Reply: a copyable handle through which an operation answers, from any
//   thread, at most once; later calls and calls after invalidation do nothing.
//   A request counts as answered once a call has been made or the last copy
//   of its handle is gone.
//
// Client side: ClientConnection connects to a socket path, sends requests and
// matches replies by sequence number.
#pragma once

#include <any>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <sys/types.h>

#include "platform/base/fd.h"
#include "platform/dispatch/dispatch.h"
#include "platform/xpc/peer.h"

namespace xpc {

// Largest message body accepted or sent.
constexpr size_t kMaxMessageSize = 1u << 20;
// Caps on a listener's connections (see above), in total and per peer user,
// and the time a decision may take.
constexpr size_t kMaxPendingConnections = 16;
constexpr size_t kMaxPendingConnectionsPerUser = 4;
constexpr size_t kMaxOpenConnections = 64;
constexpr size_t kMaxOpenConnectionsPerUser = 16;
constexpr std::chrono::milliseconds kDecisionDeadline{10000};

struct ListenerLimits {
    size_t pending = kMaxPendingConnections;
    size_t pendingPerUser = kMaxPendingConnectionsPerUser;
    size_t open = kMaxOpenConnections;
    size_t openPerUser = kMaxOpenConnectionsPerUser;
    std::chrono::milliseconds decisionDeadline = kDecisionDeadline;
};
// Requests read but not yet started on one connection (count and bytes of
// their messages); beyond either limit the
// connection's socket is not read until its queue catches up, so a client that
// floods requests cannot grow the service's memory.
constexpr size_t kMaxQueuedRequests = 64;
constexpr size_t kMaxQueuedRequestBytes = 2 * kMaxMessageSize;
// A reply that cannot be written within this time (the peer does not read)
// ends the connection.
constexpr std::chrono::seconds kSendTimeout{10};

// A value on the wire: a BOOL for type code 'c', a string or nil for '@'.
using Value = std::variant<bool, std::optional<std::string>>;

// True when `value` has the form of type code `code` ('c' or '@').
bool valueMatchesType(const Value& value, char code);
// True when `values` has exactly one value of the matching form per code.
bool valuesMatchTypes(const std::vector<Value>& values, std::string_view types);
// True when every character of `types` is a supported type code.
bool isValidTypeString(std::string_view types);

class Connection;

// The answer handle of one request. Copies share one "already sent" flag.
class Reply {
  public:
    Reply() = default;
    // Sends the reply values if nothing was sent yet through this handle or a
    // copy and the connection is still open. Values that do not match the
    // declared reply types are not sent (returns false, and the request stays
    // unanswered). Returns true if the reply was written. Any thread.
    bool operator()(const std::vector<Value>& values) const;
    // True once a call has claimed the reply (whether or not it was written).
    bool wasCalled() const;

  private:
    friend class Connection;
    Reply(std::weak_ptr<Connection> connection, uint64_t seq, std::string replyTypes);

    struct State;
    std::shared_ptr<State> state_;
    uint64_t seq_ = 0;
    std::string replyTypes_;
};

// The object whose operations a connection serves, kept with the type it was
// exported as: it is handed back as that type only.
class ExportedObject {
  public:
    ExportedObject() = default;
    template <class T>
    ExportedObject(std::shared_ptr<T> object)  // implicit, as a shared_ptr converts
        : object_(std::move(object)) {}

    // The object, when it was exported as a T; nullptr otherwise.
    template <class T>
    T* as() const {
        const auto* held = std::any_cast<std::shared_ptr<T>>(&object_);
        return held != nullptr ? held->get() : nullptr;
    }
    bool empty() const { return !object_.has_value(); }

  private:
    std::any object_;
};

// Calls one operation on the exported object; `args` match the declared
// argument types.
using Invoker = std::function<void(const ExportedObject& exportedObject,
                                   const std::vector<Value>& args, const Reply& reply)>;

// An invoker that calls `method(object, args, reply)` with the exported
// object as the T it was exported as; where the connection exports no T, the
// request is not served.
template <class T, class Method>
Invoker invokerOn(Method method) {
    return [method = std::move(method)](const ExportedObject& object,
                                        const std::vector<Value>& args, const Reply& reply) {
        if (T* target = object.as<T>()) {
            method(*target, args, reply);
        }
    };
}

struct MethodDescription {
    std::string selector;       // the full selector, e.g. "doThing:withReply:"
    std::string argumentTypes;  // type codes of the request arguments
    std::string replyTypes;     // type codes of the reply values
    Invoker invoker;
};

// The methods that a connection offers to its peer.
class Interface {
  public:
    static std::shared_ptr<Interface> create() { return std::make_shared<Interface>(); }

    // Declares a method. Returns false (and changes nothing) for an empty or
    // already declared selector, an unsupported type code or an empty invoker.
    bool addMethod(std::string selector, std::string argumentTypes, std::string replyTypes,
                   Invoker invoker);
    // The declaration of `selector`, or nullptr.
    const MethodDescription* method(std::string_view selector) const;
    const std::vector<MethodDescription>& methods() const { return methods_; }

  private:
    std::vector<MethodDescription> methods_;
};

// What stands in for the audit token of the original platform: 32 bytes that
// name the peer process by its pid (bytes 0..3, host order) and by the pidfd
// that the connection holds (bytes 4..7). An all-zero token names no process.
using AuditToken = std::array<uint8_t, 32>;
pid_t audit_token_to_pid(const AuditToken& token);
// The connection's pidfd (not a duplicate: valid while the connection lives),
// or -1 if the token carries none.
int audit_token_to_pidfd(const AuditToken& token);

class Listener;

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The kernel's record of the peer at connect.
    pid_t processIdentifier() const { return peer_.credentials().pid; }
    uid_t effectiveUserIdentifier() const { return peer_.credentials().uid; }
    gid_t effectiveGroupIdentifier() const { return peer_.credentials().gid; }
    // The peer's token, or nullopt when no pidfd could be taken for it.
    std::optional<AuditToken> auditToken() const;
    // The user on whose behalf the peer runs, read now: its real user and
    // group and its supplementary groups (not the effective group a setgid
    // program runs with). nullopt once the peer has exited.
    std::optional<base::ProcessUser> peerUser() const;

    void setExportedInterface(std::shared_ptr<Interface> interface);
    std::shared_ptr<Interface> exportedInterface() const;
    // The connection keeps the object alive until it is invalidated.
    void setExportedObject(ExportedObject object);
    ExportedObject exportedObject() const;
    void setInvalidationHandler(std::function<void()> handler);
    // Kept for the caller's sake: a Unix stream cannot be interrupted and come
    // back, so this handler is never called.
    void setInterruptionHandler(std::function<void()> handler);

    // Starts delivering requests. Further calls do nothing.
    void resume();
    // Closes the connection; the invalidation handler runs once. Any thread.
    void invalidate();
    bool isInvalidated() const;

    // The serial queue on which this connection's requests and its
    // invalidation handler run.
    const dispatch::QueuePtr& queue() const { return queue_; }

    // The connection whose request is running on the calling thread (set
    // while an exported object's operation runs), or nullptr elsewhere.
    static std::shared_ptr<Connection> currentConnection();

    // Wraps an accepted socket; used by the listener and by tests that make
    // socket pairs of their own. Takes ownership of `fd`. Returns nullptr (and
    // closes fd) if the socket's peer cannot be identified.
    static std::shared_ptr<Connection> fromAcceptedSocket(int fd);

    // Opens the calls that only the listener makes: a Listener alone can
    // make one.
    class ListenerKey {
        friend class Listener;
        ListenerKey() = default;
    };
    // The accepted socket `fd`, whose sender the listener has read already.
    static std::shared_ptr<Connection> fromAcceptedSocket(ListenerKey, base::UniqueFd fd,
                                                          const KernelCredentials& credentials);
    // Called by the listener that accepted this connection, before anything
    // else has it: nothing is read before the listener's decision, and
    // `listenerSlot` (which gives back the listener's count of it when
    // freed) is held until the connection ends.
    void awaitDecision(ListenerKey, std::shared_ptr<void> listenerSlot);
    // The listener's decision: an accepted connection starts reading once
    // resumed, a refused one is invalidated.
    void decisionMade(ListenerKey, bool accepted);

  private:
    friend class Reply;
    struct Private {};

  public:
    Connection(Private, base::UniqueFd fd, PeerProcess peer);

  private:
    enum class EndReason { PeerClosed, PeerExited, Broken, Violation, Invalidated };

    static std::shared_ptr<Connection> make(base::UniqueFd fd,
                                            const KernelCredentials& credentials);
    void readLoop();
    // After the peer shut down its sending side: waits until every request
    // read has been answered, the peer closes or exits, or the connection
    // ends otherwise.
    void drain();
    bool peerHungUp() const;
    void handleMessage(std::string_view body, bool& keepReading);
    void end(EndReason reason);
    bool sendReply(uint64_t seq, const std::vector<Value>& values);
    void requestFinished(size_t size);
    void requestSettled();
    void startReading();

    const PeerProcess peer_;
    const dispatch::QueuePtr queue_;

    mutable std::mutex mutex_;
    std::shared_ptr<Interface> interface_;
    ExportedObject exportedObject_;
    std::function<void()> invalidationHandler_;
    std::function<void()> interruptionHandler_;
    bool resumed_ = false;
    bool awaitingDecision_ = false;
    bool reading_ = false;
    bool invalidated_ = false;
    bool dropPending_ = false;
    bool handlerCalled_ = false;
    bool draining_ = false;
    size_t queuedRequests_ = 0;
    size_t queuedBytes_ = 0;
    size_t unanswered_ = 0;               // requests read whose reply is neither sent nor abandoned
    std::shared_ptr<void> listenerSlot_;  // releases the listener's count when freed

    std::condition_variable roomForRequests_;  // the reader waits here for the queue
    base::UniqueFd fd_;                        // guarded by sendMutex_ for closing
    std::mutex sendMutex_;
};

class ListenerDelegate {
  public:
    virtual ~ListenerDelegate() = default;
    // YES to accept. The delegate normally sets the exported interface and
    // object, the handlers, and resumes the connection before returning.
    virtual bool shouldAcceptNewConnection(Listener& listener,
                                           const std::shared_ptr<Connection>& connection) = 0;
};

// "/run/" + name + ".sock"
std::string socketPathForServiceName(const std::string& name);

class Listener : public std::enable_shared_from_this<Listener> {
  public:
    // The listening socket from systemd socket activation when this process
    // was given one (LISTEN_PID is our pid, LISTEN_FDS >= 1: descriptor 3,
    // which must be a Unix stream socket; the variables are then removed from
    // the environment), otherwise a socket bound at
    // socketPathForServiceName(name), replacing a stale socket there (not a
    // live one, nor anything that is not a socket), owned by root and the
    // admitted group with mode 0660 (0600 without a group). If that fails the
    // listener is not valid, never accepts, and errorDescription() says why.
    static std::shared_ptr<Listener> initWithMachServiceName(const std::string& name,
                                                             PeerAdmission admission = {});
    // Binds `path` itself, as above.
    static std::shared_ptr<Listener> listenerWithSocketPath(const std::string& path,
                                                            PeerAdmission admission = {});
    // Listens on a socket the caller made (bound, listening or not); takes
    // ownership of fd.
    static std::shared_ptr<Listener> listenerWithDescriptor(int fd, PeerAdmission admission = {});
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Before resume().
    void setLimits(const ListenerLimits& limits);
    // Not owned; must outlive the listener's decisions.
    void setDelegate(ListenerDelegate* delegate);
    ListenerDelegate* delegate() const;
    // Starts accepting. Further calls do nothing.
    void resume();
    // Stops accepting and closes the listening socket (a socket this listener
    // bound is also removed from the file system). Accepted connections stay.
    void invalidate();
    bool isValid() const;
    // Why a listener is not valid (empty for a valid one).
    std::string errorDescription() const;
    // The path this listener bound, empty otherwise.
    const std::string& socketPath() const { return path_; }

  private:
    struct Private {};

  public:
    Listener(Private, base::UniqueFd fd, std::string boundPath, PeerAdmission admission,
             std::string error);

  private:
    struct State;
    struct Decision;
    void offer(base::UniqueFd fd);
    void finishDecision(const std::shared_ptr<Decision>& decision, bool accepted);
    // Refuses the connections whose decisions are overdue; the time until the
    // next deadline, or -1 when none is pending.
    int expireDecisions();

    std::string path_;
    std::shared_ptr<State> state_;
};

// The client end of a connection.
class ClientConnection {
  public:
    enum class Status { Replied, ConnectionEnded, TimedOut };
    struct Result {
        Status status = Status::ConnectionEnded;
        std::vector<Value> values;
    };

    // Connects to a Unix socket path; nullptr on failure (with a reason in
    // *error when given).
    static std::unique_ptr<ClientConnection> connectToPath(const std::string& path,
                                                           std::string* error = nullptr);
    // Uses a connected socket; takes ownership of fd.
    static std::unique_ptr<ClientConnection> withDescriptor(int fd);
    // The connected socket that connectToPath would use, for a caller that
    // reads and writes the framed messages itself (a relay); invalid on
    // failure (with a reason in *error when given).
    static base::UniqueFd connectSocket(const std::string& path, std::string* error = nullptr);
    ~ClientConnection();  // closes the connection
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Sends a request and waits for its reply, the end of the connection or
    // the timeout. A reply whose values do not fit `replyTypes` is ignored.
    Result sendSync(const std::string& selector, const std::string& replyTypes,
                    const std::vector<Value>& args, std::chrono::milliseconds timeout);
    // Sends a request; `callback` later gets Replied with the values, or
    // ConnectionEnded, exactly once, on a thread of the client's runtime.
    // Returns the request's sequence number.
    uint64_t sendAsync(const std::string& selector, const std::string& replyTypes,
                       const std::vector<Value>& args, std::function<void(Result)> callback);
    // Writes arbitrary bytes (tests). False if the write failed.
    bool sendRaw(std::string_view bytes);
    // Frames and writes an arbitrary body (tests).
    bool sendRawMessage(std::string_view body);

    // Called once, on a runtime thread, when the connection ends.
    void setInvalidationHandler(std::function<void()> handler);
    bool isInvalidated() const;
    // Waits until the connection has ended; false on timeout.
    bool waitForInvalidation(std::chrono::milliseconds timeout) const;
    void invalidate();
    int descriptor() const;

    struct State;
    explicit ClientConnection(std::shared_ptr<State> state);

  private:
    std::shared_ptr<State> state_;
};

}  // namespace xpc
