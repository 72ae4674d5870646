/*
 * utr.h - host transports for ulmot sessions: an in-memory pair, stream
 * sockets (TCP and Unix-domain) and a fault-injecting wrapper.
 *
 * Each hands out a `Transport *` (ulmot/session.h) that a session, the
 * emulator or a test uses like any other transport. They are a separate
 * library from libulmot: the blocks they move come from libulmot's pools
 * (allocb, freeb, copyb), so the program links exactly one copy of libulmot,
 * shared or static, beside this library.
 *
 * In-memory pair. Two endpoints joined by one link. What one endpoint sends
 * goes, as the same block (ownership moves, nothing is copied), to the
 * other endpoint's inbound ring, a fixed ring of block pointers sized at
 * creation; nothing is allocated per message. Any number of threads may send
 * on an endpoint at once; one thread at a time receives on it. The link is up
 * after creation. Taking it down (from either side) releases every queued
 * block, wakes every waiting receiver with -11, and makes sends fail until
 * utr_MemoryRestore() brings it up again.
 *
 * Fault wrapper. Forwards to an inner transport and applies scripted faults
 * to the messages that pass, in each direction: outbound (send) and inbound
 * (receive). A script counts messages: "drop the next 2 responses". Each
 * action may be limited to one message type (header byte 2, bits 7-6), so a
 * test can delay responses while requests and events pass untouched; a
 * message that does not match an action is not counted by it. One internal
 * worker thread delivers delayed outbound messages, so a delayed send returns
 * at once. Nothing is allocated per message: delayed and held messages wait
 * in fixed rings sized at creation.
 *
 * Captures. Socket connections and memory endpoints can record every frame
 * they send and receive into a pcapng capture file, several transports into
 * one file.
 *
 * Sockets. A client end connects to an address ("tcp:HOST:PORT" or
 * "unix:PATH"); a listener accepts server ends. Messages travel as they are:
 * the 8-byte header, then the body whose length the header declares, so the
 * header alone cuts the byte stream into messages. Each received message is
 * one pool block (allocb); nothing else is allocated per message. Several
 * threads may send at once (a frame is never interleaved with another); one
 * thread at a time receives. A lost link is reported as -11 and the client
 * end reconnects in probe, to the same address.
 *
 * Result codes: 0 success, ULMOT_ERR_INVALID (-5) for a null or foreign
 * handle or an argument out of range. Pass these functions only handles they
 * created: a Transport of another kind is not recognised safely.
 * No operation writes to stderr.
 */
#ifndef UTR_H
#define UTR_H

#include <stdint.h>

#include "ulmot/session.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- In-memory pair -------------------------------------------------------
 *
 * Endpoint operations, as seen through the Transport table:
 *   send     0: the block is in the peer's inbound ring and belongs to it.
 *            -1: not sent (link down, or the peer's ring is full); the block
 *            has been released. A null block is refused with -1.
 *   receive  0 and the oldest queued block; -12 when nothing arrived within
 *            the time-out (0 polls); -11 while the link is down.
 *   probe    0 while the link is up, -1 while it is down.
 *   name     the endpoint's name given at creation.
 */

typedef struct utr_MemoryPair utr_MemoryPair;

/* Messages each inbound ring holds when creation is asked for capacity 0:
 * more than the pools have descriptors, so such a ring never fills. */
#define UTR_MEMORY_DEFAULT_CAPACITY 1280u

/* Endpoint sides of a pair. */
#define UTR_SIDE_A 0u
#define UTR_SIDE_B 1u

/* A connected pair whose endpoints are named `nameA` and `nameB` (null:
 * "memory-a", "memory-b"), each inbound ring holding `capacity` messages (0:
 * the default). Null when memory cannot be had. */
utr_MemoryPair *utr_MemoryPairCreate(const char *nameA, const char *nameB, uint32_t capacity);

/* Releases the pair and every block still queued. No thread may be inside an
 * operation of either endpoint, and no session may still use one. */
void utr_MemoryPairDestroy(utr_MemoryPair *pair);

/* The endpoint of `side` (UTR_SIDE_A or UTR_SIDE_B), or null. It lives as long
 * as the pair. */
Transport *utr_MemoryEndpoint(utr_MemoryPair *pair, uint32_t side);

/* Takes the link down as if `endpoint`'s side had closed it. 0, or -5. */
int32_t utr_MemoryClose(Transport *endpoint);

/* Takes the link down. Queued blocks of both rings are released; receivers
 * waiting on either side return -11. Taking a down link down does nothing. */
int32_t utr_MemoryLinkDown(utr_MemoryPair *pair);

/* Brings the link up again, with both rings empty. 0, or -5. */
int32_t utr_MemoryRestore(utr_MemoryPair *pair);

/* The longest one receive on either endpoint waits before it returns -12,
 * whatever time-out its caller asks for; 0 (the default) waits the whole
 * time-out. A session looks at its stop flag each time its receive returns,
 * so on a quiet link a slice of a few milliseconds makes destroying it quick
 * instead of taking up to one receive time-out (800 ms); the cost is one
 * wake-up per slice while nothing arrives. 0, or -5. */
int32_t utr_MemorySetReceiveSlice(utr_MemoryPair *pair, uint32_t ms);

/* Messages queued for `endpoint` to receive (0 for a foreign handle). */
uint32_t utr_MemoryQueued(Transport *endpoint);

/* ---- Sockets ---------------------------------------------------------------
 *
 * Connection operations, as seen through the Transport table:
 *   send     0: the whole frame was handed to the kernel. -1: not sent (link
 *            down, a peer that takes nothing for 5000 ms, or a block whose
 *            data is not exactly one header and the body it declares); a
 *            frame that went out only in part breaks the connection. The
 *            block is released either way.
 *   receive  0 and one message in one block, readPtr at the header. -12
 *            nothing complete within the time-out; a message that is half
 *            there is kept and finished by the next receive. -11 the peer
 *            closed or reset the connection, or it broke. -1 a receive
 *            failure: a header that declares a body above 2048 bytes (the
 *            connection is closed at once, since what follows cannot be
 *            trusted to start a message, so the next receive reports -11), a
 *            message too large for any pool block (read past in full; the
 *            stream stays in step), or no block to be had within the
 *            time-out (the message waits for the next receive).
 *   probe    0 while connected. Once the link is lost, the client end
 *            reconnects to its address (waiting at most 1000 ms, or the
 *            connect time-out if shorter) and returns 0 when that worked;
 *            a server end returns -1 for good.
 *   name     the address text: what was passed to utr_SocketConnect; for a
 *            server end of TCP the peer's address ("tcp:127.0.0.1:40124"),
 *            of a Unix socket the listener's ("unix:/run/reader.sock").
 * Writing ignores SIGPIPE for itself (MSG_NOSIGNAL): a peer that has gone
 * never kills the process.
 */

/* Client end. Connects to `address`: "tcp:HOST:PORT" (IPv4 dotted, a host
 * name, or an IPv6 address in brackets, e.g. "tcp:127.0.0.1:5088") or
 * "unix:/path/to/socket". Waits at most `connectTimeoutMs` for the first
 * connection (0: 3000 ms); a refused connection fails at once. Null when the
 * address is malformed or nothing answers (the reason is stored for
 * utr_SocketLastError). Later link losses are handled by probe, which
 * reconnects to the same address and returns 0 once the link is back. */
Transport *utr_SocketConnect(const char *address, uint32_t connectTimeoutMs);

/* Text of why the last utr_SocketConnect / utr_SocketListen of this thread
 * failed, e.g. "tcp:127.0.0.1:5088: connection refused"; never null. */
const char *utr_SocketLastError(void);

/* Closes the connection and releases the transport, with a message half
 * received. No session may still use it, and no thread be inside one of its
 * operations. Null or a foreign handle does nothing. */
void utr_SocketDestroy(Transport *transport);

/* Server end. */
typedef struct utr_SocketListener utr_SocketListener;

/* utr_SocketAccept with this time-out waits until a client or a wake comes. */
#define UTR_SOCKET_WAIT_FOREVER 0xFFFFFFFFu

/* Listens on `address` ("tcp:127.0.0.1:0" picks a free port; "unix:/path"
 * replaces a stale socket file, one nobody answers on, but never a live
 * socket nor a file that is not a socket). TCP ports are bound with
 * SO_REUSEADDR, so a restarted server gets its port back at once. Null on
 * failure (reason in utr_SocketLastError). */
utr_SocketListener *utr_SocketListen(const char *address);

/* The address actually bound, e.g. "tcp:127.0.0.1:40123", written
 * NUL-terminated into `buffer`. 0, or -5 (null arguments, buffer too small). */
int32_t utr_SocketListenerAddress(utr_SocketListener *listener, char *buffer, uint32_t size);

/* Waits up to `timeoutMs` (UTR_SOCKET_WAIT_FOREVER: no limit) for a client
 * and returns its connection as a Transport (whose probe returns -1 once the
 * peer has gone: a server end never reconnects), or null on time-out,
 * failure, or once utr_SocketListenerWake has been called. Release it with
 * utr_SocketDestroy. */
Transport *utr_SocketAccept(utr_SocketListener *listener, uint32_t timeoutMs);

/* Makes a utr_SocketAccept blocked in another thread return null at once,
 * and every later one too (for shutdown). */
void utr_SocketListenerWake(utr_SocketListener *listener);

/* Stops listening (removes the unix socket file it created, unless another
 * listener has replaced it since) and releases the listener. No thread may be
 * inside utr_SocketAccept on it. Connections it accepted live on. */
void utr_SocketListenerDestroy(utr_SocketListener *listener);

/* A capture of this connection alone: utr_CaptureOpen(path), then
 * utr_CaptureAttach(transport, file, null) and utr_CaptureClose(file); a
 * null path stops capturing. 0, or -5 (null or foreign transport, or the
 * file cannot be created). */
int32_t utr_SocketCapture(Transport *transport, const char *path);

/* ---- Captures ------------------------------------------------------------
 *
 * A capture file records the frames that socket connections and memory
 * endpoints send and receive, as a pcapng file that Wireshark and tshark
 * open. Any number of transports record into one file, each as an interface
 * of its own, named after the transport or a label ("client 3
 * tcp:127.0.0.1:40124"), so every record says which connection it belongs
 * to. The interfaces' link type is 147 (LINKTYPE_USER0, for a user
 * protocol); each record's data is one direction byte (0: this end sent the
 * frame, 1: it received it), the record's interface id as 4 bytes big-endian
 * (so a reader of the data alone still tells the connections apart), then
 * the frame, header and body, as it travelled. A frame to send is recorded before it is handed on (for a
 * socket, before any of it leaves), so the answer to a request always comes
 * after it in the file; a frame whose sending then fails is in the file all
 * the same. Time stamps are microseconds of the real-time clock.
 *
 * Writing never fails a transport: the first write that fails gives the
 * file up (utr_CaptureError says why) and the transports go on without it.
 */

typedef struct utr_CaptureFile utr_CaptureFile;

/* Creates (or truncates) the capture file at `path`. Null when it cannot be
 * created or written, with errno saying why. */
utr_CaptureFile *utr_CaptureOpen(const char *path);

/* From now on the frames of `transport` (a socket connection or a memory
 * endpoint) go to `file` as a new interface named `label` (null: the
 * transport's name); a null `file` stops its capture. A transport records
 * into one file at a time: attaching it again ends its earlier capture. The
 * file stays open while a transport records into it. 0; -5 for a null or
 * foreign transport; -1 when the file has been given up. */
int32_t utr_CaptureAttach(Transport *transport, utr_CaptureFile *file, const char *label);

/* 0 while every write to `file` has worked; else the errno of the one that
 * failed (ENOSPC for a short write). -5 for a null file. */
int32_t utr_CaptureError(utr_CaptureFile *file);

/* Gives back the caller's hold on `file`. The file is closed once no
 * transport records into it either (a destroyed transport stops recording).
 * Null does nothing. */
void utr_CaptureClose(utr_CaptureFile *file);

/* ---- Fault wrapper ------------------------------------------------------- */

/* Directions. */
#define UTR_OUTBOUND 0u /* messages passed to send */
#define UTR_INBOUND 1u  /* messages returned by receive */

/* Which messages an action applies to, by message type (header byte 2,
 * bits 7-6). A message of fewer than 3 bytes matches only UTR_MATCH_ANY. */
#define UTR_MATCH_ANY 0u
#define UTR_MATCH_REQUEST 1u
#define UTR_MATCH_RESPONSE 2u
#define UTR_MATCH_EVENT 3u

/* Messages that each ring of held messages (delayed or waiting to be
 * returned) holds. */
#define UTR_FAULT_HOLD_CAPACITY 1280u

/* Counts of one direction. Every message that entered the wrapper in that
 * direction is counted once, under the first of these that applied to it. */
typedef struct utr_FaultStats {
    uint32_t forwarded;  /* passed on unchanged */
    uint32_t dropped;    /* released by a drop action */
    uint32_t delayed;    /* held back by a delay action */
    uint32_t duplicated; /* passed on together with a copy */
    uint32_t reordered;  /* held until the next message had passed */
    uint32_t failed;     /* outbound: sends refused (script or terminated);
                          * inbound: receives failed by script (no message) */
    uint32_t discarded;  /* held messages released by terminate or destroy */
    uint32_t held;       /* held right now (delayed, reordered, or copies and
                          * released messages waiting to be received) */
} utr_FaultStats;

/* A wrapper over `inner`, named `name` (null: inner's name), with its worker
 * thread running. Null when `inner` is null or resources cannot be had. The
 * wrapper never releases `inner`. Wrappers nest: `inner` may be a wrapper. */
Transport *utr_FaultCreate(Transport *inner, const char *name);

/* Stops the worker thread and releases every held block, then the wrapper.
 * No thread may be inside an operation of the wrapper. */
void utr_FaultDestroy(Transport *fault);

/*
 * Scripting. Each call sets the action of its direction, replacing what was
 * left of an earlier one (a count of 0 cancels it). A message is subject to
 * one action at most, the first that matches in this order: fail (outbound),
 * drop, delay, duplicate, reorder.
 */

/* Release the next `count` matching messages; a dropped send returns 0, as if
 * the message had been lost on the way. */
int32_t utr_FaultDrop(Transport *fault, uint32_t direction, uint32_t count, uint32_t match);

/* Deliver the next `count` matching messages `delayMs` after they entered the
 * wrapper, in the order they entered. Outbound, the worker thread sends them
 * and the sender returns 0 at once. Inbound, receive returns them no sooner
 * than their time; messages that are not delayed overtake them. */
int32_t utr_FaultDelay(Transport *fault, uint32_t direction, uint32_t count, uint32_t delayMs,
                       uint32_t match);

/* Deliver the next `count` matching messages twice: the message, then a copy
 * (copymsg) in a block of its own. When no copy can be had the message is
 * passed on alone and counted as forwarded. */
int32_t utr_FaultDuplicate(Transport *fault, uint32_t direction, uint32_t count, uint32_t match);

/* Hold the next matching message and deliver it right after the next message
 * that is passed on at once (forwarded or duplicated); `count` times, so 2
 * turns 1 2 3 4 into 2 1 4 3. */
int32_t utr_FaultReorder(Transport *fault, uint32_t direction, uint32_t count, uint32_t match);

/* The next `count` matching sends release their block and return -1. */
int32_t utr_FaultFailSends(Transport *fault, uint32_t count, uint32_t match);

/* The next `count` receives return `result` at once, without calling the
 * inner transport and without consuming a message. `result` 0 means -1;
 * -12 and -11 are accepted too, for a test that wants exactly those. */
int32_t utr_FaultFailReceives(Transport *fault, uint32_t count, int32_t result);

/* Terminates the link as the wrapper's users see it: held messages of both
 * directions are released (counted as discarded), receive returns -11 (a
 * receiver already waiting within a few milliseconds), send releases its
 * block and returns -1, probe returns -1. The inner transport is untouched:
 * what its peer sends meanwhile stays there and arrives after the restore. */
int32_t utr_FaultTerminate(Transport *fault);

/* Ends a termination: operations reach the inner transport again, and probe
 * returns what the inner probe returns. */
int32_t utr_FaultRestore(Transport *fault);

/* Cancels every scripted action of both directions. Held messages stay held
 * and are delivered as scheduled. */
int32_t utr_FaultClear(Transport *fault);

/* Copies the counts of `direction` to `stats`. 0, or -5. */
int32_t utr_FaultGetStats(Transport *fault, uint32_t direction, utr_FaultStats *stats);

#ifdef __cplusplus
}
#endif

#endif /* UTR_H */
