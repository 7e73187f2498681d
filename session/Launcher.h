// The launcher session: the exchange with the login server, the patch loop,
// and the state the window paints (status text, ready flag, progress). It
// knows nothing of the window's painting: start-up hands it the settings it
// needs and the callbacks through which it reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Windows.h"
#include "session/SessionRules.h"

class CAPISocket;
class Packet;

namespace session {

// What start-up hands the session. Each function may be empty.
struct SessionSetup {
  std::string clientFolder;  // narrow client folder
  std::string loginHost;
  // Read at the moment a value is needed, so that a hand edit of Server.ini
  // made while the launcher runs is seen.
  std::function<std::string()> patchBaseUrl;  // empty: no patch can be fetched
  std::function<unsigned()> clientVersion;    // empty: version 1
  std::function<bool()> gameRunning;          // empty: no game runs
  // Seconds to wait before each automatic run after a network failure;
  // empty: session::DefaultRetryWaits().
  std::vector<unsigned> retryWaits;
  // Reports. statusChanged: the status text changed (any thread);
  // launcherDelivered: a patch brought a new launcher (update thread).
  std::function<void()> statusChanged;
  std::function<void()> launcherDelivered;
};

}  // namespace session

class Launcher {
 public:
  // Takes the first client version. Created once on the window thread after
  // the window exists.
  explicit Launcher(session::SessionSetup setup = {});
  ~Launcher();
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // Replaces the status text (a newer operation's report); callable from any
  // thread. Ends the hold of a failure text.
  void SetStatus(const std::string& text);
  // Shows a failure text that stays until the player acts or a newer report
  // comes (see session::StatusLine). Any thread.
  void SetFailureStatus(const std::string& text);
  // Shows a routine text unless a failure text is held. Any thread.
  void SetStatusUnlessFailure(const std::string& text);
  // The player acted (Start, F5, a button): a held failure text may now be
  // replaced by any text. Any thread.
  void ReleaseFailureStatus();
  // A copy of the status text; callable from any thread.
  std::string GetStatus() const;

  // The update thread's body: recover, connect, exchange versions, patch.
  // After a network failure it waits and runs the connection again, as the
  // retry waits allow. Returns when the work is over, or at once when the
  // launcher closes during a wait; never run twice in one process.
  void Run();

  // While the session waits to run again after a network failure: the tick
  // (GetTickCount64) at which it will; 0 otherwise. Any thread.
  std::uint64_t RetryDeadline() const { return retryDeadline_.load(); }

  // Downloads and installs one patch named by the server; true when installed.
  [[nodiscard]] bool DownloadPatch(const std::string& firstText, const std::string& secondText,
                                   const std::string& fileName);

  // True while the login socket exists and reports connected. Window thread.
  [[nodiscard]] bool IsConnected() const;
  // The login socket, or null before Run created it. Any thread.
  CAPISocket* Socket() const { return socketView_.load(); }

  // The window the login socket reports to (WM_SOCKETMSG).
  void SetWindow(HWND window) { window_ = window; }
  HWND Window() const { return window_; }
  const std::string& ClientFolder() const { return setup_.clientFolder; }
  const std::string& LoginHost() const { return setup_.loginHost; }

  [[nodiscard]] bool Ready() const { return ready_.load(); }
  void SetReady(bool ready) { ready_.exchange(ready); }
  std::int16_t ServerVersion() const { return serverVersion_.load(); }
  std::int16_t ClientVersion() const { return clientVersion_.load(); }
  [[nodiscard]] std::int32_t ProgressPercent() const { return progressPercent_.load(); }
  [[nodiscard]] bool ProgressVisible() const { return progressVisible_.load(); }
  void SetProgress(std::int32_t percent, bool visible) {
    progressPercent_.exchange(percent);
    progressVisible_.exchange(visible);
  }

  // Handles one received packet under the protocol lock; false ends Run.
  [[nodiscard]] bool HandlePacket(Packet& packet);

 private:
  // One connection: connect, exchange versions, patch. True when it ended on
  // the network and another run may succeed.
  [[nodiscard]] bool RunConnection();
  // Waits before the next run, showing when it comes; false when the
  // launcher began to close meanwhile.
  [[nodiscard]] bool WaitBeforeRetry(unsigned seconds);
  [[nodiscard]] bool HandleVersionReply(Packet& packet);
  [[nodiscard]] bool HandleDownloadInfo(Packet& packet);
  void OnDownloadProgress(std::uint64_t done, std::uint64_t total);
  std::int16_t ReadClientVersion() const;
  [[nodiscard]] bool GameRunning() const;

  // Applies change to the status line; reports statusChanged when the text changed.
  template <class Change>
  void ChangeStatus(Change change);

  std::unique_ptr<CAPISocket> socket_;
  // The same socket for the window thread, which must not read socket_ while
  // the update thread assigns it.
  std::atomic<CAPISocket*> socketView_{nullptr};
  bool versionReplySeen_ = false;
  // Update thread: this connection's run failed on the network, or reached ready.
  bool transientFailure_ = false;
  bool becameReady_ = false;
  std::atomic<std::uint64_t> retryDeadline_{0};
  const session::SessionSetup setup_;
  std::atomic<HWND> window_{nullptr};  // set by the window thread, read by the update thread
  std::atomic<bool> ready_{false};
  std::atomic<std::int16_t> serverVersion_{0};
  std::atomic<std::int16_t> clientVersion_{0};
  session::StatusLine status_;
  std::atomic<std::int32_t> progressPercent_{0};
  std::atomic<bool> progressVisible_{false};
  mutable std::mutex statusLock_;
  std::mutex protocolLock_;
};

// WM_SOCKETMSG on the window thread: FD_READ receives into the socket's queue;
// FD_CLOSE, and an FD_READ that found the queue at its bound, clear the
// session's ready flag, show "Disconnected.", close the socket and drop every
// packet not yet handled; other events are logged.
void HandleSocketNotification(Launcher* session, CAPISocket* socket, LPARAM lParam);
