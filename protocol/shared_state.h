#pragma once

#include "platform/net/ipv4.h"
#include "platform/net/socket.h"
#include "platform/sync/event.h"
#include "platform/sync/shared_text.h"
#include "protocol/awaited_replies.h"
#include "protocol/device_packet.h"
#include "protocol/paced_sender.h"
#include "protocol/remote_rows.h"
#include "protocol/reply_queue.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <span>

// The state the program's threads share, in one object that is complete
// before the first thread starts and outlives the last one. Threads get a
// reference to it. For each member: who writes it, who reads it.

namespace quellis::protocol
{

struct SharedState
{
    explicit SharedState(std::filesystem::path config)
        : configPath(std::move(config))
    {
    }
    SharedState(const SharedState&) = delete;
    SharedState& operator=(const SharedState&) = delete;

    // Beside the executable; fixed at start-up.
    const std::filesystem::path configPath;

    // [COMMON] TOOLTYPE: written once by the start-up before any thread runs.
    int toolType = 0;
    // Where requests to the machines go, and the port their answers come to.
    // Fixed before any thread runs; tests aim them at loopback.
    net::Endpoint deviceBroadcast { net::kInaddrBroadcast, kDevicePort };
    std::uint16_t replyPort = kDevicePort;
    // [COMMON] LANG: written by the UI thread (start-up, language switch);
    // read by the reply thread for the run-time texts.
    std::atomic<int> language { 1 };

    // UDP, broadcast enabled: every request to the machines. Opened by the
    // start-up before the threads, closed by the teardown after they ended;
    // in between any thread sends on it (a send is one system call).
    net::Socket sendSocket;
    // UDP 6667: read by the receive thread only; shut down by the teardown
    // to end its blocking read.
    net::Socket receiveSocket;
    // TCP 2425: the package server's, UI thread only.
    net::Socket listeningSocket;

    // The receive and reply threads run while set. Set by the start-up,
    // cleared by the teardown.
    std::atomic<int> running { 0 };
    // An update or pool run is in progress: set and cleared by the update and
    // pool runs; read by the handlers that must not start meanwhile.
    std::atomic<int> updating { 0 };
    // The monitor worker runs while set: set and cleared by the monitor box,
    // cleared by the teardown and by the worker itself.
    std::atomic<int> monitoring { 0 };
    // The blink worker runs while set: set and cleared by the blink button,
    // cleared by the teardown; read by the blink worker before each datagram.
    std::atomic<int> blinking { 0 };
    // The kind of the batch run last started (its button handler).
    std::atomic<int> batchOperation { 0 };
    // Outcomes of an update or pool run: reset by the run's button handler
    // before its worker starts, counted by the reply thread, read by the
    // worker after commandDone.
    std::atomic<int> successCount { 0 };
    std::atomic<int> failureCount { 0 };
    // The target (MAC text or "FFFFFFFFFFFF") of the request sent last:
    // written by each sender after a successful send and before it waits;
    // read by the reply thread to match an answer.
    sync::SharedText<32> currentTarget;
    // The address of the machine being updated: the update worker writes,
    // the reply thread reads.
    sync::SharedText<32> currentTargetIp;
    // The full path of the chosen package; empty while none is chosen.
    // Written by the package choice (UI thread); read by the update run and
    // by the monitor's end.
    sync::SharedText<4096> packagePath;
    // Set by the reply thread when the answer a worker waits for has
    // arrived, after the counters of that answer have changed.
    sync::Event commandDone { sync::EventReset::Auto };
    // Which answer (command code or setting) from which machine a request
    // awaits: each sender whose answer starts work, releases its wait or
    // opens a box (the pool and EEPROM runs, the network setting) enters its
    // request before the send and forgets it when it stops waiting; the
    // reply thread claims an entry with the first answer that matches it and
    // marks it answered before it sets commandDone. Answers no entry awaits
    // are logged as unexpected and do nothing else.
    AwaitedReplies awaitedReplies;
    // Datagrams from the receive thread (one producer) to the reply thread
    // (one consumer). Initialised by the start-up, released by the teardown
    // after both threads ended.
    ReplyQueue replyQueue;
    // Written by the receive thread only, read by anyone (benchmarks and
    // tests): datagrams read from the receive socket, those of them put into
    // the reply queue, and those lost because the queue was full.
    std::atomic<std::uint64_t> datagramsReceived { 0 };
    std::atomic<std::uint64_t> datagramsQueued { 0 };
    std::atomic<std::uint64_t> datagramsLostQueueFull { 0 };

    // The rows the last search's range scan found behind routers: set up by
    // the search (UI thread), filled by the reply thread, read by every sender.
    RemoteRows remoteRows;
    // The range scan and the unicast copies of requests to every machine.
    // Stopped by the teardown with the other threads, before the send socket
    // closes.
    PacedSender pacedSender;

    // A request to every machine (255.255.255.255:6667) on the send socket;
    // false when the send reported nothing sent or an error.
    bool SendBroadcast(std::span<const std::uint8_t> datagram);
    // A request that names its machine (PKT_DEV_SETTING, PKT_NET_LED_FLICKER,
    // PKT_CMD): unicast to the machine's address when its row is remote, else
    // the broadcast. One to every machine ("FFFFFFFFFFFF") is the broadcast
    // and, when remote rows exist, a paced unicast copy to each of them.
    // False when the first send reported nothing sent or an error.
    bool SendToMachines(std::span<const std::uint8_t> datagram);
};

} // namespace quellis::protocol
