// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/platform/PulseSoundServices.h"

#include "devices/platform/RealtimeScheduling.h"
#include "devices/platform/RingCursor.h"

#include <pulse/pulseaudio.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

namespace {

constexpr pa_usec_t ChunkUsec = 10000;        // the least the server asks the pump for
constexpr pa_usec_t PlaybackHeldUsec = 40000; // what the server may hold ahead of the play position
// After each underrun the server may hold twice as much (the stall outlasted what it held), up to what
// it held first plus one block, or MostHeldUsec where that is more: the ring's device takes up to a
// block of growth off its lead, so that the through-latency stays. Under a build-like load every
// dropout of a default block was the server's, never the ring's, with a lead of 126 ms.
constexpr pa_usec_t MostHeldUsec = 100000;
constexpr pa_usec_t CaptureFragmentUsec = 5000;
// The figures above are for the blocks of the block-size rule, which last more than 50 ms; a ring of
// shorter blocks (16 slots of one block each) scales every one of them down with its block, so that
// what the server holds, its requests and the capture fragments stay the same part of a block. Below
// the figures of a 15 ms block (12 ms held, 3 ms requests) a server's timer cannot keep a stream fed,
// and underruns would only grow what it holds again.
constexpr pa_usec_t FullScaleBlockUsec = 50000;
constexpr pa_usec_t SmallestScaledBlockUsec = 15000;

pa_usec_t ScaledToBlock(pa_usec_t usec, pa_usec_t blockUsec) {
  const pa_usec_t block = std::max(blockUsec, SmallestScaledBlockUsec);
  return block >= FullScaleBlockUsec ? usec : usec * block / FullScaleBlockUsec;
}

// The result code for a server error: no server, a refused format, or anything else.
int32_t CodeOf(int error) {
  switch (error) {
  case PA_ERR_CONNECTIONREFUSED:
  case PA_ERR_CONNECTIONTERMINATED:
  case PA_ERR_INVALIDSERVER:
  case PA_ERR_NOENTITY:
  case PA_ERR_KILLED:
    return SoundNoDriver;
  case PA_ERR_NOTSUPPORTED:
  case PA_ERR_INVALID:
    return SoundBadFormat;
  default:
    return SoundFail;
  }
}

TSoundResult Failure(const char* call, int error) {
  return {CodeOf(error), std::string(call) + ": " + pa_strerror(error)};
}

class TLoopLock {
public:
  explicit TLoopLock(pa_threaded_mainloop* loop) : loop(loop) { pa_threaded_mainloop_lock(loop); }
  ~TLoopLock() { pa_threaded_mainloop_unlock(loop); }
  TLoopLock(const TLoopLock&) = delete;
  TLoopLock& operator=(const TLoopLock&) = delete;

private:
  pa_threaded_mainloop* loop;
};

// One connection to the server: a threaded main loop and a ready context.
class TPulseConnection {
public:
  ~TPulseConnection() {
    if (!loop) {
      return;
    }
    pa_threaded_mainloop_stop(loop);
    if (context) {
      pa_context_set_state_callback(context, nullptr, nullptr);
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    pa_threaded_mainloop_free(loop);
  }

  static TSoundResult Connect(const std::optional<std::string>& server,
                              std::shared_ptr<TPulseConnection>& out) {
    auto connection = std::shared_ptr<TPulseConnection>(new TPulseConnection());
    TPulseConnection& c = *connection;
    c.loop = pa_threaded_mainloop_new();
    if (!c.loop) {
      return {SoundFail, "pa_threaded_mainloop_new: failed"};
    }
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Sonolab");
    c.context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c.loop), "Sonolab", properties);
    pa_proplist_free(properties);
    if (!c.context) {
      return {SoundFail, "pa_context_new: failed"};
    }
    pa_context_set_state_callback(c.context, &TPulseConnection::OnState, &c);
    if (pa_context_connect(c.context, server ? server->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) <
        0) {
      return Failure("pa_context_connect", pa_context_errno(c.context));
    }
    // The main loop's thread pumps the rings: a name of its own in top -H.
    pa_threaded_mainloop_set_name(c.loop, "sonolab-pulse");
    if (pa_threaded_mainloop_start(c.loop) < 0) {
      return {SoundFail, "pa_threaded_mainloop_start: failed"};
    }
    {
      const TLoopLock lock(c.loop);
      for (;;) {
        const pa_context_state_t state = pa_context_get_state(c.context);
        if (state == PA_CONTEXT_READY) {
          break;
        }
        if (!PA_CONTEXT_IS_GOOD(state)) {
          return Failure("pa_context_connect", pa_context_errno(c.context));
        }
        pa_threaded_mainloop_wait(c.loop);
      }
    }
    out = std::move(connection);
    return TSoundResult::Ok();
  }

  // Waits for an operation (main loop lock held); its callbacks signal the loop.
  void Await(pa_operation* operation) const {
    if (!operation) {
      return;
    }
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
      pa_threaded_mainloop_wait(loop);
    }
    pa_operation_unref(operation);
  }

  bool Alive() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); }
  int Errno() const { return pa_context_errno(context); }

  // The main loop's thread pumps every stream of the connection: real-time scheduling for it.
  void MakePumpRealtime() const {
    if (const int tid = loopThread.load(); tid != 0) {
      MakeThreadRealtime(tid);
    }
  }

  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;

private:
  TPulseConnection() = default;

  // On the main loop's thread, under its lock.
  static void OnState(pa_context*, void* user) {
    auto* self = static_cast<TPulseConnection*>(user);
    self->loopThread.store(CurrentThreadId());
    pa_threaded_mainloop_signal(self->loop, 0);
  }

  std::atomic<int> loopThread{0}; // set by the first state change, before Connect returns
};

bool SampleSpecOf(const TWaveFormat& format, pa_sample_spec& sampleSpec) {
  if (format.wFormatTag != 1 || (format.nChannels != 1 && format.nChannels != 2) ||
      (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) ||
      format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) {
    return false;
  }
  sampleSpec.format = format.wBitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
  sampleSpec.channels = static_cast<uint8_t>(format.nChannels);
  sampleSpec.rate = format.nSamplesPerSec;
  return pa_sample_spec_valid(&sampleSpec) != 0;
}

// ---- Ring ------------------------------------------------------------------------------------

constexpr int32_t InvalidArg = static_cast<int32_t>(0x80070057u);

// The part both directions share: ring memory, position, notifications, the stream and its failure.
template <class TBase> class TPulseRing : public TBase {
public:
  TPulseRing(std::shared_ptr<TPulseConnection> connection, uint32_t ringBytes,
             const pa_sample_spec& sampleSpec)
      : connection(std::move(connection)), sampleSpec(sampleSpec),
        silenceByte(sampleSpec.format == PA_SAMPLE_U8 ? 128 : 0), memory(ringBytes, silenceByte),
        cursor(ringBytes, silenceByte) {
    frameBytes = static_cast<uint32_t>(pa_frame_size(&sampleSpec));
    blockUsec = pa_bytes_to_usec(ringBytes / TEventSet::Count, &sampleSpec);
    chunkBytes = std::max<uint32_t>(
        static_cast<uint32_t>(pa_usec_to_bytes(ScaledToBlock(ChunkUsec, blockUsec), &sampleSpec)),
        frameBytes);
  }

  ~TPulseRing() override {
    const TLoopLock lock(connection->loop);
    ReleaseStream();
  }

  TSoundResult QueryNotify() override { return TSoundResult::Ok(); }

  TSoundResult SetNotificationPositions(const TSoundNotifyPositions& newPositions,
                                        TEventSet& newEvents) override {
    for (const TSoundNotifyPosition& p : newPositions) {
      if (p.Offset >= memory.size() || p.EventIndex < 0 || p.EventIndex >= TEventSet::Count) {
        return {InvalidArg, "notification position outside the ring"};
      }
    }
    const TLoopLock lock(connection->loop);
    positions = newPositions;
    events = &newEvents;
    cursor.SetNotifications(positions, events);
    if (streamFailed) {
      events->Fail(static_cast<uint32_t>(failure.Code), failure.Text);
    }
    return TSoundResult::Ok();
  }

  // Holds the main loop's lock until Unlock, so that the pump keeps off the ring meanwhile.
  TSoundResult Lock(uint32_t offset, uint32_t bytes, uint32_t flags, TSoundLockedRegions& regions) override {
    const auto size = static_cast<uint32_t>(memory.size());
    if (flags & SoundLockEntireBuffer) {
      offset = 0;
      bytes = size;
    }
    if (offset >= size || bytes == 0 || bytes > size) {
      return {InvalidArg, "lock range outside the ring"};
    }
    pa_threaded_mainloop_lock(connection->loop);
    regions = {};
    regions.Region1 = memory.data() + offset;
    regions.Bytes1 = std::min(bytes, size - offset);
    if (bytes > regions.Bytes1) {
      regions.Region2 = memory.data();
      regions.Bytes2 = bytes - regions.Bytes1;
    }
    return TSoundResult::Ok();
  }

  TSoundResult Unlock(const TSoundLockedRegions&) override {
    pa_threaded_mainloop_unlock(connection->loop);
    return TSoundResult::Ok();
  }

protected:
  // Loop lock held: no callback reaches this ring after it. A derived ring calls it first thing in
  // its own destructor, while the pump would still find the whole object.
  void ReleaseStream() {
    events = nullptr;
    cursor.SetNotifications(positions, nullptr);
    if (stream) {
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_set_write_callback(stream, nullptr, nullptr);
      pa_stream_set_read_callback(stream, nullptr, nullptr);
      pa_stream_set_underflow_callback(stream, nullptr, nullptr);
      pa_stream_set_overflow_callback(stream, nullptr, nullptr);
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
      stream = nullptr;
    }
  }

  // Loop lock held: waits until the new stream is ready or has failed.
  TSoundResult AwaitReady(const char* call) {
    for (;;) {
      const pa_stream_state_t state = pa_stream_get_state(stream);
      if (state == PA_STREAM_READY) {
        return TSoundResult::Ok();
      }
      if (!PA_STREAM_IS_GOOD(state)) {
        return Failure(call, connection->Errno());
      }
      pa_threaded_mainloop_wait(connection->loop);
    }
  }

  // Loop lock held: cork or uncork, flush, and wait for the server's answer.
  TSoundResult Run(const char* call, pa_operation* (*operation)(pa_stream*, pa_stream_success_cb_t, void*)) {
    if (streamFailed) {
      return failure.Text.empty() ? TSoundResult{SoundFail, call} : failure;
    }
    bool done = false;
    struct TAnswer {
      pa_threaded_mainloop* loop;
      bool* done;
    } answer{connection->loop, &done};
    pa_operation* op = operation(
        stream,
        [](pa_stream*, int success, void* user) {
          auto* a = static_cast<TAnswer*>(user);
          *a->done = success != 0;
          pa_threaded_mainloop_signal(a->loop, 0);
        },
        &answer);
    if (!op) {
      return Failure(call, connection->Errno());
    }
    connection->Await(op);
    if (!done) {
      return Failure(call, connection->Errno());
    }
    return TSoundResult::Ok();
  }

  static pa_operation* Cork(pa_stream* s, pa_stream_success_cb_t cb, void* user) {
    return pa_stream_cork(s, 1, cb, user);
  }
  static pa_operation* Uncork(pa_stream* s, pa_stream_success_cb_t cb, void* user) {
    return pa_stream_cork(s, 0, cb, user);
  }

  // Pump thread: a failed stream, or a server that went away, wakes the ring's waiter.
  static void OnState(pa_stream* s, void* user) {
    auto* self = static_cast<TPulseRing*>(user);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
      if (!self->streamFailed) {
        self->streamFailed = true;
        const int error = self->connection->Errno();
        self->failure = {self->connection->Alive() ? SoundFail : SoundNoDriver,
                         std::string("pa_stream: ") +
                             pa_strerror(error ? error : PA_ERR_CONNECTIONTERMINATED)};
        if (self->events) {
          self->events->Fail(static_cast<uint32_t>(self->failure.Code), self->failure.Text);
        }
      }
    }
    pa_threaded_mainloop_signal(self->connection->loop, 0);
  }

  std::shared_ptr<TPulseConnection> connection;
  pa_sample_spec sampleSpec;
  uint8_t silenceByte;
  uint32_t frameBytes = 1;
  pa_usec_t blockUsec = 0; // one slot of the ring
  uint32_t chunkBytes = 0;
  pa_stream* stream = nullptr;
  // Guarded by the main loop's lock:
  std::vector<uint8_t> memory;
  TRingCursor cursor;
  bool running = false;
  bool streamFailed = false;
  TSoundResult failure;
  TSoundNotifyPositions positions{};
  TEventSet* events = nullptr;
};

class TPulsePlaybackRing : public TPulseRing<TSoundPlaybackRing> {
public:
  using TPulseRing::TPulseRing;

  ~TPulsePlaybackRing() override {
    const TLoopLock lock(connection->loop);
    CancelDrain();
    ReleaseStream();
  }

  TSoundResult Connect(const std::optional<std::string>& deviceId) {
    const TLoopLock lock(connection->loop);
    stream = pa_stream_new(connection->context, "Sonolab playback", &sampleSpec, nullptr);
    if (!stream) {
      return Failure("pa_stream_new", connection->Errno());
    }
    pa_stream_set_state_callback(stream, &TPulsePlaybackRing::OnState, static_cast<TPulseRing*>(this));
    pa_stream_set_write_callback(stream, &TPulsePlaybackRing::OnWrite, this);
    pa_stream_set_underflow_callback(stream, &TPulsePlaybackRing::OnUnderflow, this);
    pa_stream_set_overflow_callback(stream, &TPulsePlaybackRing::OnOverflow, this);
    const pa_buffer_attr attr = Attributes();
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                       PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_playback(stream, deviceId ? deviceId->c_str() : nullptr, &attr, flags, nullptr,
                                   nullptr) < 0) {
      return Failure("pa_stream_connect_playback", connection->Errno());
    }
    return AwaitReady("pa_stream_connect_playback");
  }

  TSoundResult GetStatus(uint32_t& status) override {
    const TLoopLock lock(connection->loop);
    if (drainFailure.Failed()) {
      return drainFailure;
    }
    // The ring is our own memory: it is never lost.
    status = running ? SoundStatusPlaying | SoundStatusLooping : 0u;
    if (drained) {
      status |= SoundStatusDrained;
    }
    return TSoundResult::Ok();
  }

  TSoundResult Restore() override { return TSoundResult::Ok(); }

  // The write cursor is the first byte not yet handed to the server; the play cursor lies behind it by
  // what the server still holds.
  TSoundResult GetCurrentPosition(TSoundCursors& cursors) override {
    const TLoopLock lock(connection->loop);
    cursors.Write = cursor.Position();
    uint64_t held = 0;
    pa_usec_t latency = 0;
    int negative = 0;
    if (running && !streamFailed && pa_stream_get_latency(stream, &latency, &negative) == 0 && !negative) {
      held = pa_usec_to_bytes(latency, &sampleSpec);
    }
    cursors.Play = cursors.Write - std::min(held, cursors.Write);
    cursors.Dropouts = cursor.Dropouts();
    // The server asks for sound in pieces of its own size (PipeWire's graph cycle), as it granted.
    if (!streamFailed) {
      if (const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream)) {
        cursors.Request = attr->minreq;
      }
    }
    cursors.HeldGrowth = pa_usec_to_bytes(heldUsec - firstHeldUsec, &sampleSpec);
    return TSoundResult::Ok();
  }

  TSoundResult Play(uint32_t) override {
    const TLoopLock lock(connection->loop);
    CancelDrain();
    const bool wasRunning = running;
    running = true;
    // The stream starts with what it may hold: a request the server made while it was stopped is
    // not repeated, and a stream that starts empty runs dry at once.
    const size_t writable = pa_stream_writable_size(stream);
    if (writable != static_cast<size_t>(-1)) {
      Pump(writable);
    }
    TSoundResult result = Run("pa_stream_cork", &Uncork);
    if (result.Failed()) {
      running = wasRunning;
    }
    return result;
  }

  TSoundResult Stop() override {
    const TLoopLock lock(connection->loop);
    running = false;
    CancelDrain();
    TSoundResult result = Run("pa_stream_cork", &Cork);
    if (result.Failed()) {
      return result;
    }
    return Run("pa_stream_flush", &pa_stream_flush);
  }

  TSoundResult SetCurrentPosition(uint32_t offset) override {
    const TLoopLock lock(connection->loop);
    cursor.Rewind(offset);
    return TSoundResult::Ok();
  }

  TSoundResult Commit(uint64_t begin, uint64_t end) override {
    const TLoopLock lock(connection->loop);
    CancelDrain();
    cursor.Commit(begin, end);
    return TSoundResult::Ok();
  }

  TSoundResult BeginDrain() override {
    const TLoopLock lock(connection->loop);
    if (streamFailed) {
      return failure;
    }
    cursor.EndAtWritten();
    if (!running) {
      drained = true; // a stopped stream holds nothing
    } else if (cursor.HandedAll()) {
      IssueDrain();
    }
    return TSoundResult::Ok();
  }

private:
  // Loop lock held: hands the server up to n bytes from the position on.
  void Pump(size_t n) {
    n -= n % frameBytes;
    if (!running || streamFailed || n == 0) {
      return;
    }
    bool writeFailed = false;
    fedSinceUnderflow = true;
    cursor.Play(memory.data(), n, [&](const uint8_t* bytes, uint32_t count) {
      if (!writeFailed && pa_stream_write(stream, bytes, count, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
        writeFailed = true; // the state callback reports the stream's failure
      }
    });
    if (cursor.HandedAll()) {
      IssueDrain();
    }
  }

  // Loop lock held: once everything written is with the server, it plays that out.
  void IssueDrain() {
    if (drainOperation || drained) {
      return;
    }
    // A stream without a prebuffer plays silence once it runs dry and so never drains: it stops at
    // the end for the drain, and runs on after it.
    SetPrebuffer(true);
    drainOperation = pa_stream_drain(stream, &TPulsePlaybackRing::OnDrained, this);
    if (!drainOperation) {
      drainFailure = Failure("pa_stream_drain", connection->Errno());
    }
  }

  // Loop lock held: forgets a drain under way or done.
  void CancelDrain() {
    if (drainOperation) {
      if (pa_operation_get_state(drainOperation) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(drainOperation);
      }
      pa_operation_unref(drainOperation);
      drainOperation = nullptr;
    }
    drained = false;
    drainFailure = {};
    cursor.ClearEnd();
    SetPrebuffer(false);
  }

  // Loop lock held: a prebuffer only while draining.
  void SetPrebuffer(bool on) {
    if (prebuffered == on || streamFailed) {
      return;
    }
    prebuffered = on;
    ApplyAttributes();
  }

  void ApplyAttributes() {
    const pa_buffer_attr attr = Attributes();
    if (pa_operation* operation = pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr)) {
      pa_operation_unref(operation);
    }
  }

  static void OnWrite(pa_stream*, size_t n, void* user) { static_cast<TPulsePlaybackRing*>(user)->Pump(n); }

  static void OnDrained(pa_stream*, int success, void* user) {
    auto* self = static_cast<TPulsePlaybackRing*>(user);
    if (success) {
      self->drained = true;
    } else {
      self->drainFailure = Failure("pa_stream_drain", self->connection->Errno());
    }
  }

  // The server ran out of sound to play (the pump thread was late): it played silence meanwhile and
  // kept its clock (the stream has no prebuffer, so nothing heard later is delayed), and from now on
  // it may hold more, so that a pump late once by as much is not late again. One dropout for each
  // run dry, however often the server tells of it.
  static void OnUnderflow(pa_stream*, void* user) {
    auto* self = static_cast<TPulsePlaybackRing*>(user);
    if (!self->running || self->cursor.Ending() || !self->fedSinceUnderflow) {
      return;
    }
    self->fedSinceUnderflow = false;
    self->cursor.CountDropout();
    const pa_usec_t most =
        std::max(ScaledToBlock(MostHeldUsec, self->blockUsec), self->firstHeldUsec + self->blockUsec);
    if (self->heldUsec < most) {
      self->heldUsec = std::min(2 * self->heldUsec, most);
      self->ApplyAttributes();
    }
  }

  // The server was given more than it had room for.
  static void OnOverflow(pa_stream*, void* user) {
    auto* self = static_cast<TPulsePlaybackRing*>(user);
    if (self->running && !self->cursor.Ending()) {
      self->cursor.CountDropout();
    }
  }

  pa_buffer_attr Attributes() const {
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(heldUsec, &sampleSpec));
    attr.prebuf = prebuffered ? chunkBytes : 0; // without one an underrun does not stop the stream's clock
    attr.minreq = chunkBytes;
    attr.fragsize = static_cast<uint32_t>(-1);
    return attr;
  }

  // Guarded by the main loop's lock:
  pa_operation* drainOperation = nullptr;
  bool drained = false;
  TSoundResult drainFailure;
  const pa_usec_t firstHeldUsec = ScaledToBlock(PlaybackHeldUsec, blockUsec);
  pa_usec_t heldUsec = firstHeldUsec; // what the server may hold now
  bool fedSinceUnderflow = true;
  bool prebuffered = false; // for a drain
};

class TPulseCaptureRing : public TPulseRing<TSoundCaptureRing> {
public:
  using TPulseRing::TPulseRing;

  ~TPulseCaptureRing() override {
    const TLoopLock lock(connection->loop);
    ReleaseStream();
  }

  TSoundResult Connect(const std::optional<std::string>& deviceId) {
    const TLoopLock lock(connection->loop);
    stream = pa_stream_new(connection->context, "Sonolab capture", &sampleSpec, nullptr);
    if (!stream) {
      return Failure("pa_stream_new", connection->Errno());
    }
    pa_stream_set_state_callback(stream, &TPulseCaptureRing::OnState, static_cast<TPulseRing*>(this));
    pa_stream_set_read_callback(stream, &TPulseCaptureRing::OnRead, this);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = std::max<uint32_t>(
        static_cast<uint32_t>(pa_usec_to_bytes(ScaledToBlock(CaptureFragmentUsec, blockUsec), &sampleSpec)),
        frameBytes);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(stream, deviceId ? deviceId->c_str() : nullptr, &attr, flags) < 0) {
      return Failure("pa_stream_connect_record", connection->Errno());
    }
    return AwaitReady("pa_stream_connect_record");
  }

  TSoundResult GetCurrentPosition(TSoundCursors& cursors) override {
    const TLoopLock lock(connection->loop);
    cursors.Play = cursors.Write = cursor.Position();
    cursors.Dropouts = cursor.Dropouts();
    return TSoundResult::Ok();
  }

  TSoundResult Start(uint32_t) override {
    const TLoopLock lock(connection->loop);
    const bool wasRunning = running;
    running = true;
    TSoundResult result = Run("pa_stream_cork", &Uncork);
    if (result.Failed()) {
      running = wasRunning;
    }
    return result;
  }

  TSoundResult Stop() override {
    const TLoopLock lock(connection->loop);
    running = false;
    TSoundResult result = Run("pa_stream_cork", &Cork);
    if (result.Failed()) {
      return result;
    }
    return Run("pa_stream_flush", &pa_stream_flush);
  }

private:
  // Loop lock held: copies what the server captured into the ring at the position.
  void Collect() {
    while (!streamFailed && pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t n = 0;
      if (pa_stream_peek(stream, &data, &n) < 0 || n == 0) {
        break;
      }
      if (running) {
        // A hole in the stream is captured as silence.
        cursor.Capture(memory.data(), static_cast<const uint8_t*>(data), n);
      }
      pa_stream_drop(stream);
    }
  }

  static void OnRead(pa_stream*, size_t, void* user) { static_cast<TPulseCaptureRing*>(user)->Collect(); }
};

// ---- Sound objects ---------------------------------------------------------------------------

// A ring of either direction on a stream of its own, connected to the device (the server's default
// when there is none); `ring` is set only when the stream is ready.
template <class TRing, class TInterface>
TSoundResult CreatePulseRing(const std::shared_ptr<TPulseConnection>& connection,
                             const std::optional<std::string>& deviceId, uint32_t ringBytes,
                             const TWaveFormat& format, std::unique_ptr<TInterface>& ring) {
  pa_sample_spec sampleSpec{};
  if (!SampleSpecOf(format, sampleSpec)) {
    return Failure("pa_stream_new", PA_ERR_INVALID);
  }
  if (ringBytes == 0 || ringBytes % pa_frame_size(&sampleSpec) != 0) {
    return {InvalidArg, "ring size is not a whole number of frames"};
  }
  auto created = std::make_unique<TRing>(connection, ringBytes, sampleSpec);
  TSoundResult result = created->Connect(deviceId);
  if (!result.Failed()) {
    ring = std::move(created);
  }
  return result;
}

class TPulsePlayback : public TSoundPlayback {
public:
  TPulsePlayback(std::shared_ptr<TPulseConnection> connection, std::optional<std::string> deviceId)
      : connection(std::move(connection)), deviceId(std::move(deviceId)) {}

  TSoundResult SetCooperativeLevel(uint32_t) override { return TSoundResult::Ok(); }

  TSoundResult CreateRing(uint32_t ringBytes, const TWaveFormat& format, uint32_t,
                          std::unique_ptr<TSoundPlaybackRing>& ring) override {
    return CreatePulseRing<TPulsePlaybackRing>(connection, deviceId, ringBytes, format, ring);
  }

private:
  std::shared_ptr<TPulseConnection> connection;
  std::optional<std::string> deviceId;
};

class TPulseCapture : public TSoundCapture {
public:
  TPulseCapture(std::shared_ptr<TPulseConnection> connection, std::optional<std::string> deviceId)
      : connection(std::move(connection)), deviceId(std::move(deviceId)) {}

  TSoundResult CreateRing(uint32_t ringBytes, const TWaveFormat& format,
                          std::unique_ptr<TSoundCaptureRing>& ring) override {
    return CreatePulseRing<TPulseCaptureRing>(connection, deviceId, ringBytes, format, ring);
  }

private:
  std::shared_ptr<TPulseConnection> connection;
  std::optional<std::string> deviceId;
};

// ---- Enumeration -----------------------------------------------------------------------------

struct TListing {
  pa_threaded_mainloop* loop = nullptr;
  std::vector<TSoundDeviceInfo> devices;
};

template <class TInfo> void OnDevice(pa_context*, const TInfo* info, int eol, void* user) {
  auto* listing = static_cast<TListing*>(user);
  if (eol || !info) {
    pa_threaded_mainloop_signal(listing->loop, 0);
    return;
  }
  listing->devices.push_back({info->description ? info->description : info->name, std::string(info->name)});
}

// Checks that a named sink or source exists (loop lock held).
template <class TInfo>
TSoundResult FindDevice(TPulseConnection& c, const std::string& name, const char* call,
                        pa_operation* (*query)(pa_context*, const char*,
                                               void (*)(pa_context*, const TInfo*, int, void*), void*)) {
  TListing listing{c.loop, {}};
  c.Await(query(c.context, name.c_str(), &OnDevice<TInfo>, &listing));
  if (listing.devices.empty()) {
    return Failure(call, c.Alive() ? PA_ERR_NOENTITY : c.Errno());
  }
  return TSoundResult::Ok();
}

// ---- The virtual sink ------------------------------------------------------------------------

// A stream of Sonolab's own: its ring and PipeWire streams, and an ALSA device's stream that reaches the
// server through ALSA's pulse plug-in, which names the program.
bool SonolabStream(const pa_proplist* properties) {
  const char* app = pa_proplist_gets(properties, PA_PROP_APPLICATION_NAME);
  const char* binary = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_BINARY);
  return (app && std::strcmp(app, "Sonolab") == 0) || (binary && std::strncmp(binary, "sonolab", 7) == 0);
}

// What the server says of the sink of AppsSinkName.
struct TAppsSinkState {
  uint32_t Index = PA_INVALID_INDEX;
  uint32_t Monitor = PA_INVALID_INDEX;
  std::string PreviousDefault; // AppsPreviousDefaultProperty; empty when none was recorded
};

// The server's answers the virtual sink needs, on one connection under its main loop's lock.
class TAppsSinkControl {
public:
  explicit TAppsSinkControl(std::shared_ptr<TPulseConnection> connection)
      : c(std::move(connection)), lock(c->loop) {}

  bool Alive() const { return c->Alive(); }
  TSoundResult Lost(const char* call) const { return Failure(call, c->Errno()); }

  std::string DefaultSink() {
    TAnswer<std::string> answer{c->loop, {}};
    c->Await(pa_context_get_server_info(
        c->context,
        [](pa_context*, const pa_server_info* info, void* user) {
          auto* a = static_cast<TAnswer<std::string>*>(user);
          if (info && info->default_sink_name) {
            a->Value = info->default_sink_name;
          }
          pa_threaded_mainloop_signal(a->Loop, 0);
        },
        &answer));
    return answer.Value;
  }

  // A sink by name, with the default it records having replaced; none when there is no such sink.
  std::optional<TAppsSinkState> Sink(const std::string& name) {
    TAnswer<std::optional<TAppsSinkState>> answer{c->loop, {}};
    c->Await(pa_context_get_sink_info_by_name(
        c->context, name.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* user) {
          auto* a = static_cast<TAnswer<std::optional<TAppsSinkState>>*>(user);
          if (!eol && info) {
            const char* previous = pa_proplist_gets(info->proplist, AppsPreviousDefaultProperty);
            a->Value = TAppsSinkState{info->index, info->monitor_source, previous ? previous : ""};
          } else {
            pa_threaded_mainloop_signal(a->Loop, 0);
          }
        },
        &answer));
    return answer.Value;
  }

  // Sonolab's captures of the monitor made by other processes: a live run that shares the sink.
  int OtherProcessCaptures(uint32_t monitor) {
    struct TCount {
      pa_threaded_mainloop* Loop;
      uint32_t Monitor;
      std::string OwnPid;
      int Value = 0;
    } count{c->loop, monitor, std::to_string(getpid())};
    c->Await(pa_context_get_source_output_info_list(
        c->context,
        [](pa_context*, const pa_source_output_info* info, int eol, void* user) {
          auto* n = static_cast<TCount*>(user);
          if (eol || !info) {
            pa_threaded_mainloop_signal(n->Loop, 0);
            return;
          }
          const char* app = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
          const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
          if (info->source == n->Monitor && app && std::strcmp(app, "Sonolab") == 0 &&
              (!pid || n->OwnPid != pid)) {
            ++n->Value;
          }
        },
        &count));
    return count.Value;
  }

  // Moves the streams on sink `from` to the sink named `to`; Sonolab's own stay where they play, so
  // that an output of a set-up never ends up in the sink that feeds one.
  TSoundResult MoveStreams(uint32_t from, const std::string& to, bool keepOwn) {
    struct TList {
      pa_threaded_mainloop* Loop;
      uint32_t From;
      bool KeepOwn;
      std::vector<uint32_t> Streams;
    } list{c->loop, from, keepOwn, {}};
    c->Await(pa_context_get_sink_input_info_list(
        c->context,
        [](pa_context*, const pa_sink_input_info* info, int eol, void* user) {
          auto* l = static_cast<TList*>(user);
          if (eol || !info) {
            pa_threaded_mainloop_signal(l->Loop, 0);
            return;
          }
          if (info->sink == l->From && !(l->KeepOwn && SonolabStream(info->proplist))) {
            l->Streams.push_back(info->index);
          }
        },
        &list));
    for (const uint32_t stream : list.Streams) {
      // A stream that ended meanwhile cannot move, and need not.
      Succeeded(pa_context_move_sink_input_by_name(c->context, stream, to.c_str(), &OnSuccess, &answer));
    }
    return c->Alive() ? TSoundResult::Ok() : Lost("pa_context_move_sink_input_by_name");
  }

  TSoundResult SetDefault(const std::string& name) {
    if (!Succeeded(pa_context_set_default_sink(c->context, name.c_str(), &OnSuccess, &answer))) {
      return Lost("pa_context_set_default_sink");
    }
    return TSoundResult::Ok();
  }

  TSoundResult Load(const std::string& arguments) {
    TAnswer<uint32_t> index{c->loop, PA_INVALID_INDEX};
    c->Await(pa_context_load_module(
        c->context, "module-null-sink", arguments.c_str(),
        [](pa_context*, uint32_t idx, void* user) {
          auto* a = static_cast<TAnswer<uint32_t>*>(user);
          a->Value = idx;
          pa_threaded_mainloop_signal(a->Loop, 0);
        },
        &index));
    if (index.Value == PA_INVALID_INDEX) {
      return Failure("pa_context_load_module", c->Alive() ? PA_ERR_MODINITFAILED : c->Errno());
    }
    return TSoundResult::Ok();
  }

  // Unloads the modules that made the sink (one, unless a killed run raced another).
  TSoundResult Unload() {
    TAnswer<std::vector<uint32_t>> modules{c->loop, {}};
    c->Await(pa_context_get_module_info_list(
        c->context,
        [](pa_context*, const pa_module_info* info, int eol, void* user) {
          auto* a = static_cast<TAnswer<std::vector<uint32_t>>*>(user);
          if (eol || !info) {
            pa_threaded_mainloop_signal(a->Loop, 0);
            return;
          }
          if (info->name && std::strcmp(info->name, "module-null-sink") == 0 && info->argument &&
              NamesAppsSink(info->argument)) {
            a->Value.push_back(info->index);
          }
        },
        &modules));
    for (const uint32_t module : modules.Value) {
      if (!Succeeded(pa_context_unload_module(c->context, module, &OnSuccess, &answer))) {
        return Lost("pa_context_unload_module");
      }
    }
    return TSoundResult::Ok();
  }

  // Gives back the default the sink replaced (if it still is the default and that sink is still
  // there), moves the sink's streams to the default and removes the sink.
  TSoundResult Retire(const TAppsSinkState& sink) {
    std::string target = DefaultSink();
    if (target == AppsSinkName) {
      target = !sink.PreviousDefault.empty() && Sink(sink.PreviousDefault) ? sink.PreviousDefault : "";
      if (!target.empty()) {
        if (TSoundResult result = SetDefault(target); result.Failed()) {
          return result;
        }
      }
    }
    if (!target.empty()) {
      if (TSoundResult result = MoveStreams(sink.Index, target, false); result.Failed()) {
        return result;
      }
    }
    return Unload();
  }

private:
  template <class T> struct TAnswer {
    pa_threaded_mainloop* Loop;
    T Value;
  };

  static void OnSuccess(pa_context*, int success, void* user) {
    auto* a = static_cast<TAnswer<bool>*>(user);
    a->Value = success != 0;
    pa_threaded_mainloop_signal(a->Loop, 0);
  }

  bool Succeeded(pa_operation* operation) {
    answer.Value = false;
    c->Await(operation);
    return operation && answer.Value;
  }

  static bool NamesAppsSink(const std::string& arguments) {
    const std::string key = std::string("sink_name=") + AppsSinkName;
    for (size_t at = arguments.find(key); at != std::string::npos; at = arguments.find(key, at + 1)) {
      const size_t end = at + key.size();
      if ((at == 0 || arguments[at - 1] == ' ') && (end == arguments.size() || arguments[end] == ' ')) {
        return true;
      }
    }
    return false;
  }

  std::shared_ptr<TPulseConnection> c;
  TLoopLock lock;
  TAnswer<bool> answer{c->loop, false};
};

// A name fit for the module's arguments and the sink's properties, which quote it.
bool PlainDescription(const std::string& text) {
  return !text.empty() && text.find_first_of("\"'\\\n") == std::string::npos;
}

std::string NullSinkArguments(const TAppsSinkRequest& request, const pa_sample_spec& sampleFormat,
                              const std::string& previousDefault) {
  std::string properties = std::string("device.description=\"") + request.Description + "\"";
  if (PlainDescription(previousDefault)) {
    properties += std::string(" ") + AppsPreviousDefaultProperty + "=\"" + previousDefault + "\"";
  }
  return std::string("sink_name=") + AppsSinkName +
         " format=" + pa_sample_format_to_string(sampleFormat.format) +
         " rate=" + std::to_string(sampleFormat.rate) + " channels=" + std::to_string(sampleFormat.channels) +
         " sink_properties='" + properties + "'";
}

// While a lease lives, a stream of Sonolab's own that reaches the sink (an ALSA output through the
// server's default, or a stream that followed the default) is moved to the default the sink replaced:
// no set-up ever plays into the sink that feeds one. The guard's connection watches the streams.
class TOwnStreamGuard {
public:
  TOwnStreamGuard(std::shared_ptr<TPulseConnection> connection, uint32_t sink, std::string target)
      : c(std::move(connection)), sink(sink), target(std::move(target)) {
    const TLoopLock lock(c->loop);
    pa_context_set_subscribe_callback(c->context, &TOwnStreamGuard::OnEvent, this);
    Forget(pa_context_subscribe(c->context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr));
  }
  // The connection is the guard's alone: its end stops the loop's thread, after which no answer can
  // reach the guard.
  ~TOwnStreamGuard() { c.reset(); }
  TOwnStreamGuard(const TOwnStreamGuard&) = delete;
  TOwnStreamGuard& operator=(const TOwnStreamGuard&) = delete;

private:
  static void Forget(pa_operation* operation) {
    if (operation) {
      pa_operation_unref(operation);
    }
  }

  // The loop's thread: a new or moved stream is looked at, and moved away when it is ours.
  static void OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index, void* user) {
    const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (type == PA_SUBSCRIPTION_EVENT_NEW || type == PA_SUBSCRIPTION_EVENT_CHANGE) {
      Forget(pa_context_get_sink_input_info(context, index, &TOwnStreamGuard::OnStream, user));
    }
  }

  static void OnStream(pa_context* context, const pa_sink_input_info* info, int eol, void* user) {
    const auto* self = static_cast<TOwnStreamGuard*>(user);
    if (!eol && info && info->sink == self->sink && SonolabStream(info->proplist)) {
      Forget(
          pa_context_move_sink_input_by_name(context, info->index, self->target.c_str(), nullptr, nullptr));
    }
  }

  std::shared_ptr<TPulseConnection> c;
  const uint32_t sink;
  const std::string target;
};

// The end of a lease: the last one of this process, with no other process capturing the monitor,
// retires the sink. A server that went away took the sink with it.
class TPulseAppsLease : public TAppsSinkLease {
public:
  TPulseAppsLease(std::optional<std::string> server, std::shared_ptr<TPulseSoundServices::TAppsLeases> leases)
      : server(std::move(server)), leases(std::move(leases)) {
    ++this->leases->Count;
  }

  // Keeps Sonolab's streams out of the sink while the lease lives.
  void Guard(std::unique_ptr<TOwnStreamGuard> watching) { guard = std::move(watching); }

  ~TPulseAppsLease() override {
    guard.reset();
    if (--leases->Count > 0) {
      return;
    }
    std::shared_ptr<TPulseConnection> connection;
    if (TPulseConnection::Connect(server, connection).Failed()) {
      return;
    }
    TAppsSinkControl control(connection);
    if (const std::optional<TAppsSinkState> sink = control.Sink(AppsSinkName);
        sink && control.OtherProcessCaptures(sink->Monitor) == 0) {
      control.Retire(*sink);
    }
  }

private:
  std::optional<std::string> server;
  std::shared_ptr<TPulseSoundServices::TAppsLeases> leases;
  std::unique_ptr<TOwnStreamGuard> guard;
};

} // namespace

TSoundResult TPulseSoundServices::LeaseAppsSink(const TAppsSinkRequest& request,
                                                std::unique_ptr<TAppsSinkLease>& lease) {
  if (!PlainDescription(request.Description)) {
    return {InvalidArg, "module-null-sink: the description holds a quote or a backslash"};
  }
  pa_sample_spec sampleFormat{};
  if (!SampleSpecOf(request.Format, sampleFormat)) {
    return Failure("module-null-sink", PA_ERR_INVALID);
  }
  std::shared_ptr<TPulseConnection> connection;
  if (TSoundResult result = TPulseConnection::Connect(server, connection); result.Failed()) {
    return result;
  }
  TAppsSinkControl control(connection);
  std::optional<TAppsSinkState> sink = control.Sink(AppsSinkName);
  if (sink && appsLeases->Count == 0 && control.OtherProcessCaptures(sink->Monitor) == 0) {
    // Left by a run that was killed: its default given back first.
    if (TSoundResult result = control.Retire(*sink); result.Failed()) {
      return result;
    }
    sink.reset();
  }
  if (!sink) {
    const std::string previous = control.DefaultSink();
    if (TSoundResult result = control.Load(NullSinkArguments(request, sampleFormat, previous));
        result.Failed()) {
      return result;
    }
    sink = control.Sink(AppsSinkName);
    if (!sink) {
      return control.Alive() ? Failure("pa_context_get_sink_info_by_name", PA_ERR_NOENTITY)
                             : control.Lost("pa_context_get_sink_info_by_name");
    }
  }
  // From here on the lease owns the sink: a failure below removes it again.
  auto made = std::make_unique<TPulseAppsLease>(server, appsLeases);
  if (request.MakeDefault) {
    if (const std::string previous = control.DefaultSink(); previous != AppsSinkName) {
      const std::optional<TAppsSinkState> old = previous.empty() ? std::nullopt : control.Sink(previous);
      if (TSoundResult result = control.SetDefault(AppsSinkName); result.Failed()) {
        return result;
      }
      if (old) {
        if (TSoundResult result = control.MoveStreams(old->Index, AppsSinkName, true); result.Failed()) {
          return result;
        }
      }
    }
  }
  // Where Sonolab's own streams go: the default the sink replaced, or the default when that is not it.
  const std::string current = control.DefaultSink();
  std::string away = current != AppsSinkName ? current : sink->PreviousDefault;
  if (away.empty() || !control.Sink(away)) {
    away = sink->PreviousDefault;
  }
  std::shared_ptr<TPulseConnection> watching;
  if (TSoundResult result = TPulseConnection::Connect(server, watching); result.Failed()) {
    return result;
  }
  made->Guard(std::make_unique<TOwnStreamGuard>(std::move(watching), sink->Index, away));
  lease = std::move(made);
  return TSoundResult::Ok();
}

TPulseSoundServices::TPulseSoundServices(std::optional<std::string> server) : server(std::move(server)) {}

TSoundResult TPulseSoundServices::CheckServer() {
  std::shared_ptr<TPulseConnection> connection;
  return TPulseConnection::Connect(server, connection);
}

bool TPulseSoundServices::ServerReachable() const {
  std::shared_ptr<TPulseConnection> connection;
  return !TPulseConnection::Connect(server, connection).Failed();
}

std::vector<TSoundDeviceInfo> TPulseSoundServices::EnumeratePlayback() {
  std::shared_ptr<TPulseConnection> c;
  if (TPulseConnection::Connect(server, c).Failed()) {
    return {};
  }
  const TLoopLock lock(c->loop);
  TListing listing{c->loop, {}};
  c->Await(pa_context_get_sink_info_list(c->context, &OnDevice<pa_sink_info>, &listing));
  return std::move(listing.devices);
}

std::vector<TSoundDeviceInfo> TPulseSoundServices::EnumerateCapture() {
  std::shared_ptr<TPulseConnection> c;
  if (TPulseConnection::Connect(server, c).Failed()) {
    return {};
  }
  const TLoopLock lock(c->loop);
  TListing listing{c->loop, {}};
  c->Await(pa_context_get_source_info_list(c->context, &OnDevice<pa_source_info>, &listing));
  return std::move(listing.devices);
}

TSoundResult TPulseSoundServices::CreatePlayback(const std::optional<std::string>& deviceId,
                                                 std::unique_ptr<TSoundPlayback>& playback) {
  std::shared_ptr<TPulseConnection> c;
  TSoundResult result = TPulseConnection::Connect(server, c);
  if (result.Failed()) {
    return result;
  }
  if (deviceId) {
    const TLoopLock lock(c->loop);
    result = FindDevice<pa_sink_info>(*c, *deviceId, "pa_context_get_sink_info_by_name",
                                      &pa_context_get_sink_info_by_name);
    if (result.Failed()) {
      return result;
    }
  }
  c->MakePumpRealtime();
  playback = std::make_unique<TPulsePlayback>(std::move(c), deviceId);
  return result;
}

TSoundResult TPulseSoundServices::CreateCapture(const std::optional<std::string>& deviceId,
                                                std::unique_ptr<TSoundCapture>& capture) {
  std::shared_ptr<TPulseConnection> c;
  TSoundResult result = TPulseConnection::Connect(server, c);
  if (result.Failed()) {
    return result;
  }
  if (deviceId) {
    const TLoopLock lock(c->loop);
    result = FindDevice<pa_source_info>(*c, *deviceId, "pa_context_get_source_info_by_name",
                                        &pa_context_get_source_info_by_name);
    if (result.Failed()) {
      return result;
    }
  }
  c->MakePumpRealtime();
  capture = std::make_unique<TPulseCapture>(std::move(c), deviceId);
  return result;
}
