// Secondary refresh: the local domain loaded from the primary server by a zone
// transfer (AXFR over TCP), on demand and on the SOA refresh and retry timers.
// Thread-safety: zone_refresh may run on any thread; ZoneRefresher's members
// may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/non_copyable.h"

namespace norvane {

// Port every transfer goes to unless a test moves it.
inline constexpr uint16_t kPrimaryPort = 53;
// Longest wait for the next bytes of the primary's reply.
inline constexpr int kTransferReadWaitMs = 2'000;
// Bound on a whole transfer, so that a primary that trickles data (or sends
// without end) cannot hold the refresh thread and the staging list for ever.
// The bytes and answer records of a transfer are bounded as well, by the
// settings transfer_max_bytes and transfer_max_records.
inline constexpr int kTransferLimitSeconds = 300;

// Transfers the local domain from settings.primary on this thread and, when
// the whole zone arrived, replaces the domain's records with it: the SOA
// fields are the primary's, the records of other domains stay behind the new
// ones, refreshed_at and retry_after become the time the transfer ended, and
// the zone file is saved. Returns the number of A, NS, CNAME and MX records of
// the domain that the transfer carried (0 for an empty zone).
// Returns 0 and changes nothing but refreshed_at (set to 0 at the start) when
// no primary or domain is configured, the connection fails, the primary
// refuses or answers out of turn, the reply is malformed, the transfer does
// not both open and close with the zone's SOA, it times out, it passes
// settings.transfer_max_records answer records or settings.transfer_max_bytes
// bytes of messages (logged at level 1), or another load holds the staging
// list. What a failed transfer staged is freed and the free memory returned to
// the system before this returns. `port` exists for tests; the server always uses 53.
// Takes the database lock only for short steps; never holds it while waiting
// on the network.
int zone_refresh(Engine& engine, uint16_t port = kPrimaryPort);

// The reading half of zone_refresh, apart from the socket so that it can be
// driven with bytes of any origin: takes the reply messages of the transfer
// with `id` of `domain` (lower case) from `next_message` (which fills its
// argument with the next whole message and returns false when there is none)
// until the closing SOA, calls `on_complete` (may be empty), and makes the
// domain's records live as zone_refresh describes, with `primary` named in the
// log. Returns the number of records counted; -1 with nothing changed when a
// message is missing, out of turn or malformed, the transfer does not open
// with the zone's SOA, another load holds the staging list, or the domain was
// renamed meanwhile. Does not save the zone file.
int zone_transfer_take(Engine& engine, const std::string& domain, uint16_t id, uint32_t primary,
                       const std::function<bool(std::vector<uint8_t>&)>& next_message,
                       const std::function<void()>& on_complete = {});

// Owns the thread that refreshes in the background, so that at most one such
// refresh runs at a time and the server can end and join it at stop.
class ZoneRefresher : NonCopyable {
 public:
  explicit ZoneRefresher(Engine& engine);
  // Ends a running transfer (nothing changes) and joins the thread.
  ~ZoneRefresher();

  // Sets retry_after to now + retry and runs zone_refresh on a thread of its
  // own. Returns false, changing nothing, when a refresh started here is still
  // running or stop() was called.
  bool zone_refresh_start();
  // The start-up refresh of a secondary: runs zone_refresh on the thread of
  // this refresher, so that the server opens its listeners and answers from
  // the zone file while the transfer runs. Leaves retry_after alone: when
  // this refresh fails, the first turn of the listener loop after it tries
  // again, as it would after a failed refresh run on the start-up thread.
  // Returns false, starting nothing, when no primary is configured, a
  // refresh is running or stop() was called. Call it after the zone file
  // was loaded: a refresh that finds a load holding the staging list gives up.
  bool refresh_at_start();
  // The listener loop's turn: when a primary is configured and both
  // refreshed_at + refresh and retry_after lie before `now`, starts a refresh
  // (retry_after = now + retry). Returns at once.
  void on_turn(std::time_t now);

  // Ends a running transfer without changing the database and joins its
  // thread; later starts are refused. The connect itself is not cut short:
  // it gives up by itself within 10 seconds.
  void stop();
  // Waits until the background refresh, if one was started, has ended and
  // returns its result (0 when none ran).
  int wait();
  bool running() const { return running_.load(); }

  // Tests only: the port transfers go to (53 otherwise).
  void set_primary_port(uint16_t port) { port_ = port; }

 private:
  // Starts a refresh; with `now`, retry_after becomes now + retry first.
  bool start(std::optional<std::time_t> now);

  Engine& engine_;
  uint16_t port_ = kPrimaryPort;
  // Guards thread_ and stopped_ against concurrent starts, waits and stops.
  std::mutex lock_;
  std::thread thread_;
  bool stopped_ = false;
  std::atomic<bool> running_{false};
  std::atomic<int> last_result_{0};
  // Readable once stop() is called; a transfer in progress waits on it too.
  int stop_fd_ = -1;
};

}  // namespace norvane
