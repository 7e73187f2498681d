#include "session/Launcher.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <utility>

#include "common/Errors.h"
#include "modes/LauncherSwap.h"
#include "session/SessionRules.h"
#include "session/net/APISocket.h"
#include "update/disk/Cancel.h"
#include "update/Download.h"
#include "update/apply/Install.h"
#include "update/apply/Journal.h"
#include "update/disk/Paths.h"

namespace {

constexpr std::uint8_t kVersionRequest = 0x01;
constexpr std::uint8_t kDownloadInfoRequest = 0x02;
constexpr std::uint8_t kTextListRequest = 0x03;
constexpr std::uint8_t kVersionReply = 0x01;
constexpr std::uint8_t kDownloadInfo = 0x02;
constexpr std::uint8_t kTextList = 0x03;

// The server closed the link, or the link was closed because the peer
// flooded it: whatever is queued is never handled.
void Disconnect(Launcher* session, CAPISocket* socket) {
  if (session) {
    session->SetReady(false);
    session->SetStatus("Disconnected.");
  }
  if (socket) {
    socket->Close();
    socket->DropQueuedPackets();  // packets not yet handled never will be
  }
}

}  // namespace

void HandleSocketNotification(Launcher* session, CAPISocket* socket, LPARAM lParam) {
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_READ:
      if (socket && !socket->Receive()) Disconnect(session, socket);
      break;
    case FD_CONNECT:
      break;
    case FD_CLOSE:
      Disconnect(session, socket);
      break;
    default:
      fail::Log("WM_SOCKETMSG: unknown socket flag.", fail::kLauncherSource, __LINE__);
      break;
  }
}

Launcher::Launcher(session::SessionSetup setup) : setup_(std::move(setup)) {
  clientVersion_.exchange(ReadClientVersion());
  status_.Set(session::InitialText());
}

Launcher::~Launcher() = default;

std::int16_t Launcher::ReadClientVersion() const {
  return static_cast<std::int16_t>(setup_.clientVersion ? setup_.clientVersion() : 1u);
}

bool Launcher::GameRunning() const { return setup_.gameRunning && setup_.gameRunning(); }

// A new status text is reported at once (the window repaints) rather than
// seen at the next timer tick: a step that reports and then finishes within
// one tick would otherwise never be seen.
template <class Change>
void Launcher::ChangeStatus(Change change) {
  bool changed = false;
  {
    std::lock_guard lock(statusLock_);
    const std::string before = status_.Text();
    change(status_);
    changed = status_.Text() != before;
  }
  if (changed && setup_.statusChanged) setup_.statusChanged();
}

void Launcher::SetStatus(const std::string& text) {
  ChangeStatus([&](auto& status) { status.Set(text); });
}

void Launcher::SetFailureStatus(const std::string& text) {
  ChangeStatus([&](auto& status) { status.SetFailure(text); });
}

void Launcher::SetStatusUnlessFailure(const std::string& text) {
  ChangeStatus([&](auto& status) { status.SetUnlessHeld(text); });
}

void Launcher::ReleaseFailureStatus() {
  std::lock_guard lock(statusLock_);
  status_.Release();
}

std::string Launcher::GetStatus() const {
  std::lock_guard lock(statusLock_);
  return status_.Text();
}

bool Launcher::IsConnected() const {
  const CAPISocket* socket = socketView_.load();
  return socket && socket->IsConnected();
}

void Launcher::Run() {
  const bool gameRunning = GameRunning();
  const std::filesystem::path folder = orvex_update::PathFromNarrow(setup_.clientFolder);
  if (gameRunning) {
    std::error_code error;
    if (std::filesystem::exists(folder / ".orvex-update" / "current" / "journal", error)) {
      SetStatus("Close the game to recover an interrupted update.");
      SetReady(false);
      return;
    }
  } else {
    fail::Failure recovery;
    if (!orvex_update::RecoverInterruptedUpdate(folder, recovery)) {
      SetStatus(recovery.text);
      SetReady(false);
      return;
    }
  }

  const std::vector<unsigned> waits = setup_.retryWaits.empty() ? session::DefaultRetryWaits() : setup_.retryWaits;
  std::size_t retries = 0;
  while (RunConnection()) {
    if (becameReady_) retries = 0;  // a drop after ready starts a fresh series
    if (retries == waits.size()) return;  // the last failure text stays
    if (!WaitBeforeRetry(waits[retries++])) return;
    SetStatus(session::InitialText());
  }
}

bool Launcher::RunConnection() {
  clientVersion_.exchange(ReadClientVersion());
  versionReplySeen_ = false;
  transientFailure_ = false;
  becameReady_ = false;

  // One socket object for every run: the window thread may still hold the
  // pointer it read for a notification of the previous link.
  if (!socket_) {
    socket_ = std::make_unique<CAPISocket>();
    socketView_.store(socket_.get());
  }
  socket_->DropQueuedPackets();
  if (socket_->Connect(window_, setup_.loginHost) != 0) {
    SetStatus(session::ConnectionFailedText());
    return true;
  }
  socket_->Send(&kVersionRequest, 1);

  // Sleeps until a packet arrives or the link closes (Close wakes the wait);
  // the timeout is only a backstop, so an idle session costs no CPU.
  while (socket_->IsValid()) {
    std::unique_ptr<Packet> packet = socket_->WaitPacket(std::chrono::seconds(1));
    if (!packet) continue;
    if (!HandlePacket(*packet)) {
      // A download broken by the network: the next run reconnects as any
      // fresh start would.
      if (transientFailure_) socket_->Close();
      return transientFailure_;
    }
  }
  // The link is gone. The server's close has already said so through
  // FD_CLOSE, but a connection we closed ourselves (a frame of length 0)
  // raises no FD_CLOSE and would otherwise leave a stale status for good.
  SetReady(false);
  SetStatus("Disconnected.");
  return true;
}

bool Launcher::WaitBeforeRetry(unsigned seconds) {
  const std::uint64_t milliseconds = std::uint64_t{seconds} * 1000;
  retryDeadline_.store(::GetTickCount64() + milliseconds);
  if (setup_.statusChanged) setup_.statusChanged();
  fail::ScopeExit clear([this] { retryDeadline_.store(0); });
  try {
    orvex_update::CancellableWait(static_cast<std::uint32_t>(milliseconds));
    return true;
  } catch (const std::exception&) {
    return false;  // the launcher is closing
  }
}

bool Launcher::HandlePacket(Packet& packet) {
  std::lock_guard lock(protocolLock_);
  switch (packet.Opcode()) {
    case kVersionReply:
      return HandleVersionReply(packet);
    case kDownloadInfo:
      return HandleDownloadInfo(packet);
    case kTextList: {
      const std::uint16_t count = packet.ReadUInt16();
      for (std::uint16_t i = 0; i < count; ++i) packet.ReadString();
      return true;
    }
    default:
      return true;
  }
}

bool Launcher::HandleVersionReply(Packet& packet) {
  if (versionReplySeen_) return true;
  serverVersion_.exchange(static_cast<std::int16_t>(packet.ReadUInt16()));
  if (!socket_ || !socket_->IsValid()) return true;
  socket_->Send(&kTextListRequest, 1);
  versionReplySeen_ = true;
  if (clientVersion_.load() > serverVersion_.load()) {
    SetStatus(session::ClientNewerText());
    SetReady(false);
  } else if (socket_->IsValid()) {
    const auto version = static_cast<std::uint16_t>(clientVersion_.load());
    const std::uint8_t request[3] = {kDownloadInfoRequest, static_cast<std::uint8_t>(version & 0xFF),
                                     static_cast<std::uint8_t>(version >> 8)};
    socket_->Send(request, sizeof request);
  }
  return true;
}

bool Launcher::HandleDownloadInfo(Packet& packet) {
  try {
    const std::string firstText = packet.ReadString();
    const std::string secondText = packet.ReadString();
    const std::uint16_t count = packet.ReadUInt16();
    for (std::uint16_t i = 0; i < count; ++i) {
      const std::string name = packet.ReadString();
      if (!DownloadPatch(firstText, secondText, name)) {
        SetReady(false);
        return false;
      }
      if (modes::HasPendingLauncher(orvex_update::PathFromNarrow(setup_.clientFolder))) {
        SetReady(false);
        SetStatus("Launcher updated. Restarting to continue patching...");
        if (setup_.launcherDelivered) setup_.launcherDelivered();
        return false;
      }
    }
    if (clientVersion_.load() != serverVersion_.load()) {
      SetReady(false);
      SetStatus("Client version does not match the server.");
      return false;
    }
    SetProgress(0, false);
    SetStatus(session::ReadyText());
    SetReady(true);
    becameReady_ = true;
    return true;
  } catch (const std::exception& error) {
    SetReady(false);
    SetStatus(fail::FailureOf(error, orvex_update::kUpdateFailedText).text);
    return false;
  }
}

bool Launcher::DownloadPatch(const std::string&, const std::string&, const std::string& fileName) {
  if (GameRunning()) {
    SetStatus("Close Vantrell.exe before updating.");
    return false;
  }
  const std::uint16_t patch = session::PatchNumberFromFileName(fileName);
  if (patch == 0) {
    SetStatus("Invalid patch filename.");
    return false;
  }
  if (static_cast<std::int16_t>(patch) <= clientVersion_.load() ||
      static_cast<std::int16_t>(patch) > serverVersion_.load()) {
    return false;
  }
  const std::string baseUrl = setup_.patchBaseUrl ? setup_.patchBaseUrl() : std::string();
  const std::string manifestName = std::to_string(patch) + ".manifest";
  fail::Failure failure;
  const bool installed = orvex_update::DownloadSignedUpdate(
      orvex_update::PathFromNarrow(setup_.clientFolder), baseUrl, manifestName, patch,
      static_cast<std::uint32_t>(static_cast<std::uint16_t>(clientVersion_.load())), failure, false,
      [this](const std::string& text) { SetStatus(text); },
      [this](std::uint64_t done, std::uint64_t total) { OnDownloadProgress(done, total); });
  if (!installed) {
    transientFailure_ = session::IsTransientDownloadFailure(failure);
    SetStatus(failure.text);
    return false;
  }
  clientVersion_.exchange(static_cast<std::int16_t>(patch));
  return true;
}

void Launcher::OnDownloadProgress(std::uint64_t done, std::uint64_t total) {
  if (total == 0) {
    SetProgress(0, false);
    return;
  }
  std::uint64_t percent = done * 100 / total;
  if (percent > 99) percent = 100;
  SetProgress(static_cast<std::int32_t>(percent), true);
}
