// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/platform/PipeWireGraph.h"

#include "devices/platform/RealtimeScheduling.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

constexpr int64_t AnswerNs = 5'000'000'000; // a daemon that answers nothing within this does not answer
constexpr const char* DataThreadName = "sonolab-pw-data";
constexpr const char* LoopThreadName = "sonolab-pw-loop";

TSoundResult Failure(int32_t code, const std::string& call, const std::string& text) {
  return {code, call + ": " + text};
}

class TLoopLock {
public:
  explicit TLoopLock(pw_thread_loop* loop) : loop(loop) { pw_thread_loop_lock(loop); }
  ~TLoopLock() { pw_thread_loop_unlock(loop); }
  TLoopLock(const TLoopLock&) = delete;
  TLoopLock& operator=(const TLoopLock&) = delete;

private:
  pw_thread_loop* loop;
};

struct TNodeGlobal {
  uint32_t Id = 0;
  std::string Class;
  std::string Name;
  std::string Description;
};

bool IsSource(const std::string& mediaClass) {
  return mediaClass.rfind("Audio/Source", 0) == 0;
}
bool IsSink(const std::string& mediaClass) {
  return mediaClass == "Audio/Sink";
}

// Told by the connection's thread (its lock held) about the daemon and the graph.
class TConnectionOwner {
public:
  virtual void DaemonLost(const std::string& message) = 0;
  virtual void NodeRemoved(uint32_t id) = 0;

protected:
  ~TConnectionOwner() = default;
};

// One connection to the daemon: a thread loop, a context (with its data thread), a core and the
// registry's node list.
class TConnection {
public:
  ~TConnection() {
    if (loop) {
      pw_thread_loop_stop(loop);
    }
    if (registry) {
      spa_hook_remove(&registryListener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    }
    if (core) {
      spa_hook_remove(&coreListener);
      pw_core_disconnect(core);
    }
    if (context) {
      pw_context_destroy(context);
    }
    if (loop) {
      pw_thread_loop_destroy(loop);
    }
  }

  static TSoundResult Connect(const std::optional<std::string>& remote, std::unique_ptr<TConnection>& out) {
    pw_init(nullptr, nullptr);
    auto c = std::unique_ptr<TConnection>(new TConnection());
    c->loop = pw_thread_loop_new(LoopThreadName, nullptr);
    if (!c->loop) {
      return Failure(SoundFail, "pw_thread_loop_new", std::strerror(errno));
    }
    c->context = pw_context_new(pw_thread_loop_get_loop(c->loop), nullptr, 0);
    if (!c->context) {
      return Failure(SoundFail, "pw_context_new", std::strerror(errno));
    }
    if (pw_thread_loop_start(c->loop) < 0) {
      return Failure(SoundFail, "pw_thread_loop_start", std::strerror(errno));
    }
    const TLoopLock lock(c->loop);
    pw_properties* properties = pw_properties_new(PW_KEY_APP_NAME, "Sonolab", nullptr);
    if (remote) {
      pw_properties_set(properties, PW_KEY_REMOTE_NAME, remote->c_str());
    }
    c->core = pw_context_connect(c->context, properties, 0);
    if (!c->core) {
      return Failure(SoundNoDriver, "pw_context_connect", std::strerror(errno));
    }
    static const pw_core_events coreEvents = [] {
      pw_core_events events{};
      events.version = PW_VERSION_CORE_EVENTS;
      events.done = &TConnection::OnDone;
      events.error = &TConnection::OnError;
      return events;
    }();
    pw_core_add_listener(c->core, &c->coreListener, &coreEvents, c.get());
    c->registry = pw_core_get_registry(c->core, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events registryEvents = [] {
      pw_registry_events events{};
      events.version = PW_VERSION_REGISTRY_EVENTS;
      events.global = &TConnection::OnGlobal;
      events.global_remove = &TConnection::OnGlobalRemove;
      return events;
    }();
    pw_registry_add_listener(c->registry, &c->registryListener, &registryEvents, c.get());
    TSoundResult result = c->Sync();
    if (result.Failed()) {
      return result;
    }
    out = std::move(c);
    return TSoundResult::Ok();
  }

  // Lock held: a round trip to the daemon, so that everything it sent before has arrived.
  TSoundResult Sync() {
    if (broken) {
      return Failure(SoundNoDriver, "pw_core", brokenText);
    }
    pendingSeq = pw_core_sync(core, PW_ID_CORE, pendingSeq);
    synced = false;
    timespec until{};
    pw_thread_loop_get_time(loop, &until, AnswerNs);
    while (!synced && !broken) {
      if (pw_thread_loop_timed_wait_full(loop, &until) < 0) {
        return Failure(SoundNoDriver, "pw_core_sync", "сервер PipeWire не ответил за 5 с");
      }
    }
    if (broken) {
      return Failure(SoundNoDriver, "pw_core", brokenText);
    }
    return TSoundResult::Ok();
  }

  // Lock held: waits for a change the loop's thread signals, up to `until`; false when it passed.
  bool WaitUntil(timespec& until) { return pw_thread_loop_timed_wait_full(loop, &until) >= 0; }

  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  std::vector<TNodeGlobal> nodes;    // lock held
  TConnectionOwner* owner = nullptr; // lock held

private:
  TConnection() = default;

  static void OnDone(void* data, uint32_t id, int seq) {
    auto* self = static_cast<TConnection*>(data);
    if (id == PW_ID_CORE && seq == self->pendingSeq) {
      self->synced = true;
      pw_thread_loop_signal(self->loop, false);
    }
  }

  static void OnError(void* data, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<TConnection*>(data);
    if (id != PW_ID_CORE) {
      return; // an object's own error reaches it (a stream's state tells it)
    }
    self->broken = true;
    self->brokenText = std::string("связь с сервером PipeWire потеряна (") +
                       (message != nullptr && *message != '\0' ? message : spa_strerror(res)) + ")";
    if (self->owner) {
      self->owner->DaemonLost(self->brokenText);
    }
    pw_thread_loop_signal(self->loop, false);
  }

  static void OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    auto* self = static_cast<TConnection*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || props == nullptr) {
      return;
    }
    const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    if (mediaClass == nullptr || name == nullptr) {
      return;
    }
    const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
    self->nodes.push_back({id, mediaClass, name, description != nullptr ? description : name});
  }

  static void OnGlobalRemove(void* data, uint32_t id) {
    auto* self = static_cast<TConnection*>(data);
    std::erase_if(self->nodes, [id](const TNodeGlobal& node) { return node.Id == id; });
    if (self->owner) {
      self->owner->NodeRemoved(id);
    }
  }

  pw_registry* registry = nullptr;
  spa_hook coreListener{};
  spa_hook registryListener{};
  int pendingSeq = 0;
  bool synced = false;
  bool broken = false;
  std::string brokenText;
};

bool AudioInfoOf(const TWaveFormat& format, spa_audio_info_raw& info) {
  if (format.wFormatTag != 1 || (format.nChannels != 1 && format.nChannels != 2) ||
      (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) || format.nSamplesPerSec == 0 ||
      format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) {
    return false;
  }
  info = {};
  info.format = format.wBitsPerSample == 8 ? SPA_AUDIO_FORMAT_U8 : SPA_AUDIO_FORMAT_S16_LE;
  info.rate = format.nSamplesPerSec;
  info.channels = format.nChannels;
  if (format.nChannels == 1) {
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
  } else {
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
  }
  return true;
}

} // namespace

// ---- Stream ----------------------------------------------------------------------------------------

struct TGraphStream::TImpl final : TConnectionOwner {
  TImpl(std::unique_ptr<TConnection> connection, bool capture, const TWaveFormat& format, uint32_t ringBytes)
      : connection(std::move(connection)), capture(capture), frameBytes(format.nBlockAlign),
        rate(format.nSamplesPerSec), silenceByte(format.wBitsPerSample == 8 ? 128 : 0),
        ringFrames(ringBytes / std::max<uint32_t>(format.nBlockAlign, 1)) {
    if (capture) {
      captureRing = std::make_unique<TGraphCaptureRing>(ringBytes, silenceByte);
    } else {
      playbackRing = std::make_unique<TGraphPlaybackRing>(ringBytes, silenceByte);
    }
  }

  ~TImpl() {
    if (stream) {
      const TLoopLock lock(connection->loop);
      connection->owner = nullptr;
      // Leaves the data thread first, and only then lets go of the listener: the data thread walks the
      // stream's listeners for each process call, and a listener removed under it would not be left.
      pw_stream_destroy(stream);
    } else if (connection) {
      const TLoopLock lock(connection->loop);
      connection->owner = nullptr;
    }
  }

  TSoundResult Connect(const TGraphNode& node, const TWaveFormat& format, uint32_t blockFrames) {
    const TLoopLock lock(connection->loop);
    // The node chosen, by its name; a sink for playback and for a monitor, a source for capture.
    const auto found =
        std::find_if(connection->nodes.begin(), connection->nodes.end(), [&](const TNodeGlobal& n) {
          return n.Name == node.Name && (capture && !node.Monitor ? IsSource(n.Class) : IsSink(n.Class));
        });
    if (found == connection->nodes.end()) {
      return Failure(SoundNoDriver, "pw_registry", "узла \"" + node.Name + "\" нет в графе PipeWire");
    }
    targetId = found->Id;
    targetName = node.Name;
    connection->owner = this;

    spa_audio_info_raw info{};
    if (!AudioInfoOf(format, info)) {
      return Failure(SoundBadFormat, "pw_stream_connect", "формат не поддерживается");
    }
    const std::string latency = std::to_string(blockFrames) + "/" + std::to_string(format.nSamplesPerSec);
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, capture ? "Capture" : "Playback",
        PW_KEY_MEDIA_ROLE, "Production", PW_KEY_NODE_NAME, capture ? "sonolab-capture" : "sonolab-playback",
        PW_KEY_TARGET_OBJECT, node.Name.c_str(), PW_KEY_NODE_LATENCY, latency.c_str(),
        PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    if (node.Monitor) {
      pw_properties_set(properties, PW_KEY_STREAM_CAPTURE_SINK, "true");
    }
    stream = pw_stream_new(connection->core, capture ? "Sonolab capture" : "Sonolab playback", properties);
    if (!stream) {
      return Failure(SoundFail, "pw_stream_new", std::strerror(errno));
    }
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &TImpl::OnState;
      e.io_changed = &TImpl::OnIoChanged;
      e.process = &TImpl::OnProcess;
      return e;
    }();
    pw_stream_add_listener(stream, &streamListener, &events, this);
    uint8_t podBuffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_INACTIVE |
                                                    PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS |
                                                    PW_STREAM_FLAG_DONT_RECONNECT);
    if (const int res = pw_stream_connect(stream, capture ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT,
                                          PW_ID_ANY, flags, params, 1);
        res < 0) {
      return Failure(SoundFail, "pw_stream_connect", spa_strerror(res));
    }
    // Connected once the graph has taken the format (paused, inactive as asked), or refused.
    timespec until{};
    pw_thread_loop_get_time(connection->loop, &until, AnswerNs);
    while (state != PW_STREAM_STATE_PAUSED && state != PW_STREAM_STATE_STREAMING) {
      if (Faulted()) {
        return Fault();
      }
      if (!connection->WaitUntil(until)) {
        return Failure(SoundNoDriver, "pw_stream_connect", "сервер PipeWire не подключил поток за 5 с");
      }
    }
    NameDataThread();
    return TSoundResult::Ok();
  }

  // Lock held: the data thread takes its name and, from here, real-time scheduling.
  void NameDataThread() {
    pw_data_loop* dataLoop = pw_context_get_data_loop(connection->context);
    if (!dataLoop) {
      return;
    }
    pw_data_loop_invoke(
        dataLoop,
        [](spa_loop*, bool, uint32_t, const void*, size_t, void* user) -> int {
          auto* self = static_cast<TImpl*>(user);
          if (!pw_data_loop_in_thread(pw_context_get_data_loop(self->connection->context))) {
            return 0; // the loop does not run: the call came back to the caller's thread
          }
          pthread_setname_np(pthread_self(), DataThreadName);
          self->dataThread.store(CurrentThreadId());
          return 0;
        },
        0, nullptr, 0, true, this);
    if (const int tid = dataThread.load(); tid != 0) {
      MakeThreadRealtime(tid);
    }
  }

  // Any thread: the first fault is kept, and the waiter woken.
  void SetFault(int32_t code, const std::string& text) {
    if (!faultClaimed.exchange(true)) {
      fault = {code, text};
      faulted.store(true, std::memory_order_release);
    }
    doorbell.Ring();
    pw_thread_loop_signal(connection->loop, false);
  }
  bool Faulted() const { return faulted.load(std::memory_order_acquire); }
  TSoundResult Fault() const { return Faulted() ? fault : TSoundResult::Ok(); }

  void DaemonLost(const std::string& message) override { SetFault(SoundNoDriver, "pw_core: " + message); }
  void NodeRemoved(uint32_t id) override {
    if (id == targetId) {
      SetFault(SoundNoDriver, "pw_registry: узел \"" + targetName + "\" исчез из графа PipeWire");
    }
  }

  TSoundResult SetActive(bool on) {
    if (on && Faulted()) {
      return fault;
    }
    running.store(on, std::memory_order_release);
    {
      const TLoopLock lock(connection->loop);
      const int res = pw_stream_set_active(stream, on);
      if (res < 0 && on) {
        return Failure(SoundFail, "pw_stream_set_active", spa_strerror(res));
      }
    }
    doorbell.Ring();
    return TSoundResult::Ok();
  }

  // Loop thread.
  static void OnState(void* data, pw_stream_state, pw_stream_state now, const char* error) {
    auto* self = static_cast<TImpl*>(data);
    self->state = now;
    if (now == PW_STREAM_STATE_ERROR) {
      self->SetFault(SoundFail, std::string("pw_stream: ") + (error != nullptr ? error : "ошибка потока"));
    }
    pw_thread_loop_signal(self->connection->loop, false);
  }

  static void OnIoChanged(void* data, uint32_t id, void* area, uint32_t size) {
    auto* self = static_cast<TImpl*>(data);
    if (id == SPA_IO_Position) {
      self->position.store(size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr,
                           std::memory_order_release);
    }
  }

  void EndCycle(uint32_t bytes) {
    cycleBytes.store(bytes, std::memory_order_relaxed);
    cycles.fetch_add(1, std::memory_order_release);
    doorbell.Ring();
  }

  static void OnProcess(void* data) {
    auto* self = static_cast<TImpl*>(data);
    if (self->capture) {
      self->ProcessCapture();
    } else {
      self->ProcessPlayback();
    }
  }

  // Data thread: the frames the graph's clock skipped since the last cycle (an xrun: the driver went on
  // without the cycles in between), at the stream's rate, at most a ring's worth; each counts an xrun.
  // Capture stores them as silence of their length, so that the input keeps wall time; playback lets
  // them go by, so that what follows is not late.
  uint64_t Skipped() {
    const spa_io_position* clock = position.load(std::memory_order_acquire);
    const bool on = running.load(std::memory_order_acquire);
    uint64_t skipped = 0;
    if (clock != nullptr && clock->clock.rate.denom != 0) {
      const spa_io_clock& c = clock->clock;
      quantum.store(static_cast<uint32_t>(c.duration), std::memory_order_relaxed);
      graphRate.store(c.rate.denom, std::memory_order_relaxed);
      if (on && wasRunning && next != 0 && c.position > next) {
        skipped = std::min<uint64_t>((c.position - next) * rate / c.rate.denom, ringFrames);
        xruns.fetch_add(1, std::memory_order_relaxed);
      }
      next = on ? c.position + c.duration : 0;
    }
    wasRunning = on;
    return skipped;
  }

  // Every buffer the graph has filled since the last call (more than one after a late call).
  void ProcessCapture() {
    const bool on = running.load(std::memory_order_acquire);
    for (uint64_t hole = Skipped() * frameBytes; hole > 0;) {
      const auto piece = static_cast<uint32_t>(std::min<uint64_t>(hole, captureRing->Size()));
      captureRing->Capture(nullptr, piece);
      hole -= piece;
    }
    uint32_t bytes = 0;
    while (pw_buffer* b = pw_stream_dequeue_buffer(stream)) {
      const spa_data& d = b->buffer->datas[0];
      if (d.data != nullptr) {
        const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        uint32_t n = std::min(d.chunk->size, d.maxsize - offset);
        n -= n % frameBytes;
        if (on) {
          captureRing->Capture(static_cast<const uint8_t*>(d.data) + offset, n);
        }
        bytes += n;
      }
      pw_stream_queue_buffer(stream, b);
    }
    EndCycle(bytes);
  }

  void ProcessPlayback() {
    pw_buffer* b = pw_stream_dequeue_buffer(stream);
    if (b == nullptr) {
      return;
    }
    spa_data& d = b->buffer->datas[0];
    const bool on = running.load(std::memory_order_acquire);
    const uint64_t skipped = Skipped();
    uint32_t bytes = 0;
    if (d.data != nullptr) {
      uint64_t frames = d.maxsize / frameBytes;
      if (b->requested != 0) {
        frames = std::min(frames, b->requested);
      }
      bytes = static_cast<uint32_t>(frames * frameBytes);
      if (on) {
        // The graph played silence in the cycles it skipped: what lies there is too late now.
        playbackRing->Pass(skipped * frameBytes);
        playbackRing->Play(static_cast<uint8_t*>(d.data), bytes);
      } else {
        std::memset(d.data, silenceByte, bytes);
      }
      d.chunk->offset = 0;
      d.chunk->stride = static_cast<int32_t>(frameBytes);
      d.chunk->size = bytes;
    }
    pw_stream_queue_buffer(stream, b);
    EndCycle(bytes);
  }

  std::unique_ptr<TConnection> connection;
  const bool capture;
  const uint32_t frameBytes;
  const uint32_t rate;
  const uint8_t silenceByte;
  const uint64_t ringFrames;
  std::unique_ptr<TGraphPlaybackRing> playbackRing;
  std::unique_ptr<TGraphCaptureRing> captureRing;
  TDoorbell doorbell;
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  uint32_t targetId = SPA_ID_INVALID; // loop lock
  std::string targetName;
  pw_stream_state state = PW_STREAM_STATE_UNCONNECTED; // loop lock
  std::atomic<bool> running{false};
  std::atomic<int> dataThread{0};
  std::atomic<const spa_io_position*> position{nullptr};
  std::atomic<uint64_t> cycles{0};
  std::atomic<uint32_t> cycleBytes{0};
  std::atomic<uint64_t> xruns{0};
  std::atomic<uint32_t> quantum{0};
  std::atomic<uint32_t> graphRate{0};
  std::atomic<bool> faultClaimed{false};
  std::atomic<bool> faulted{false};
  TSoundResult fault; // written once, before `faulted`
  // Data thread:
  bool wasRunning = false;
  uint64_t next = 0; // the graph's position the next cycle should have
};

TGraphStream::TGraphStream(std::unique_ptr<TImpl> impl) : impl(std::move(impl)) {}
TGraphStream::~TGraphStream() = default;
TGraphPlaybackRing* TGraphStream::Playback() {
  return impl->playbackRing.get();
}
TGraphCaptureRing* TGraphStream::Capture() {
  return impl->captureRing.get();
}
TDoorbell& TGraphStream::Doorbell() {
  return impl->doorbell;
}
TSoundResult TGraphStream::SetActive(bool on) {
  return impl->SetActive(on);
}
TSoundResult TGraphStream::Fault() const {
  return impl->Fault();
}
bool TGraphStream::Faulted() const {
  return impl->Faulted();
}
uint64_t TGraphStream::Cycles() const {
  return impl->cycles.load(std::memory_order_acquire);
}
uint32_t TGraphStream::CycleBytes() const {
  return impl->cycleBytes.load(std::memory_order_relaxed);
}
uint64_t TGraphStream::Xruns() const {
  return impl->xruns.load(std::memory_order_relaxed);
}
uint32_t TGraphStream::QuantumFrames() const {
  return impl->quantum.load(std::memory_order_relaxed);
}
uint32_t TGraphStream::GraphRate() const {
  return impl->graphRate.load(std::memory_order_relaxed);
}

// ---- Graph -----------------------------------------------------------------------------------------

TPipeWireGraph::TPipeWireGraph(std::optional<std::string> remote) : remote(std::move(remote)) {}

TSoundResult TPipeWireGraph::Check() const {
  std::unique_ptr<TConnection> connection;
  return TConnection::Connect(remote, connection);
}

namespace {

std::vector<TNodeGlobal> NodesOf(const std::optional<std::string>& remote) {
  std::unique_ptr<TConnection> connection;
  if (TConnection::Connect(remote, connection).Failed()) {
    return {};
  }
  const TLoopLock lock(connection->loop);
  std::vector<TNodeGlobal> nodes = connection->nodes;
  std::sort(nodes.begin(), nodes.end(),
            [](const TNodeGlobal& a, const TNodeGlobal& b) { return a.Id < b.Id; });
  return nodes;
}

} // namespace

std::vector<TGraphNode> TPipeWireGraph::CaptureNodes() const {
  std::vector<TGraphNode> list;
  for (const TNodeGlobal& node : NodesOf(remote)) {
    if (IsSource(node.Class)) {
      list.push_back({node.Description, node.Name, false});
    } else if (IsSink(node.Class)) {
      list.push_back({"Монитор " + node.Description, node.Name, true});
    }
  }
  return list;
}

std::vector<TGraphNode> TPipeWireGraph::PlaybackNodes() const {
  std::vector<TGraphNode> list;
  for (const TNodeGlobal& node : NodesOf(remote)) {
    if (IsSink(node.Class)) {
      list.push_back({node.Description, node.Name, false});
    }
  }
  return list;
}

namespace {

TSoundResult OpenStream(const std::optional<std::string>& remote, bool capture, const TGraphNode& node,
                        const TWaveFormat& format, uint32_t blockFrames, uint32_t ringBytes,
                        std::unique_ptr<TGraphStream>& stream) {
  std::unique_ptr<TConnection> connection;
  TSoundResult result = TConnection::Connect(remote, connection);
  if (result.Failed()) {
    return result;
  }
  auto impl = std::make_unique<TGraphStream::TImpl>(std::move(connection), capture, format, ringBytes);
  result = impl->Connect(node, format, blockFrames);
  if (result.Failed()) {
    return result;
  }
  stream = std::make_unique<TGraphStream>(std::move(impl));
  return result;
}

} // namespace

TSoundResult TPipeWireGraph::OpenCapture(const TGraphNode& node, const TWaveFormat& format,
                                         uint32_t blockFrames, uint32_t ringBytes,
                                         std::unique_ptr<TGraphStream>& stream) const {
  return OpenStream(remote, true, node, format, blockFrames, ringBytes, stream);
}

TSoundResult TPipeWireGraph::OpenPlayback(const TGraphNode& node, const TWaveFormat& format,
                                          uint32_t blockFrames, uint32_t ringBytes,
                                          std::unique_ptr<TGraphStream>& stream) const {
  return OpenStream(remote, false, node, format, blockFrames, ringBytes, stream);
}
