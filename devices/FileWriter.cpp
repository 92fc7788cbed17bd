// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/FileWriter.h"

#include "dsp/ThreadName.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

namespace {

constexpr int64_t RingSeconds = 2;
constexpr size_t MinSlots = 8;

} // namespace

void TFileWriter::TSemaphore::Wait() {
  while (sem_wait(&sem) != 0 && errno == EINTR) {
  }
}

TFileWriter::TFileWriter(std::vector<TWAVEFilePlaybackDevice*> outputs, TWhenFull whenFull)
    : files(std::move(outputs)), whenFull(whenFull), pendingGap(files.size(), 0),
      overflowing(files.size(), false), room(0), ends(files.size()) {
  // Slots of the largest block; as many as two seconds of every file's blocks take.
  size_t count = 0;
  for (TWAVEFilePlaybackDevice* file : files) {
    const TAudioBuffer& block = file->Buffer();
    slotBytes = std::max(slotBytes, static_cast<size_t>(block.CapacityFrames()) * block.Format().nBlockAlign);
    const int64_t perSecond =
        block.CapacityFrames() > 0
            ? (block.Format().nSamplesPerSec + block.CapacityFrames() - 1) / block.CapacityFrames()
            : 0;
    count += static_cast<size_t>(RingSeconds * perSecond);
    silence.emplace_back(static_cast<size_t>(block.CapacityFrames()) * block.Format().nBlockAlign,
                         block.Format().wBitsPerSample == 8 ? 128 : 0);
  }
  count = std::max(count, MinSlots);
  slots.resize(count);
  data.assign(count * slotBytes, 0);
  for (size_t i = 0; i < count; ++i) {
    room.Post();
  }
  thread = std::thread(&TFileWriter::Run, this);
}

TFileWriter::~TFileWriter() {
  Close();
}

void TFileWriter::RaiseIfFailed() {
  if (failed.load(std::memory_order_acquire)) {
    raised = true;
    throw *error;
  }
}

TFileWriter::TSlot* TFileWriter::Claim(bool wait) {
  if (!room.TryWait()) {
    if (!wait) {
      return nullptr;
    }
    room.Wait();
  }
  return &slots[head];
}

void TFileWriter::Publish() {
  head = (head + 1) % slots.size();
  filled.Post();
}

void TFileWriter::Push(int file) {
  RaiseIfFailed();
  const auto index = static_cast<size_t>(file);
  const TAudioBuffer& block = files[index]->Buffer();
  TSlot* slot = Claim(whenFull == TWhenFull::Wait);
  if (slot == nullptr) {
    pendingGap[index] += block.Frames();
    lostFrames.fetch_add(block.Frames(), std::memory_order_relaxed);
    if (!overflowing[index]) {
      overflowing[index] = true;
      overflows.fetch_add(1, std::memory_order_relaxed);
    }
    return;
  }
  overflowing[index] = false;
  *slot = TSlot{TKind::Block, file, block.Frames(), std::exchange(pendingGap[index], 0)};
  std::memcpy(data.data() + head * slotBytes, block.Data(),
              std::min(static_cast<size_t>(std::max(block.Bytes(), 0)), slotBytes));
  Publish();
}

void TFileWriter::Drain() {
  // The lengths still lost go in now, waiting for room: the end may wait.
  for (size_t i = 0; i < files.size(); ++i) {
    if (pendingGap[i] > 0) {
      *Claim(true) = TSlot{TKind::Block, static_cast<int>(i), 0, std::exchange(pendingGap[i], 0)};
      Publish();
    }
  }
  *Claim(true) = TSlot{TKind::Mark};
  Publish();
  marked.Wait();
  RaiseIfFailed();
}

std::vector<std::optional<TDSPException>> TFileWriter::Close() {
  if (!closed) {
    closed = true;
    for (size_t i = 0; i < files.size(); ++i) {
      if (pendingGap[i] > 0) {
        *Claim(true) = TSlot{TKind::Block, static_cast<int>(i), 0, std::exchange(pendingGap[i], 0)};
        Publish();
      }
    }
    *Claim(true) = TSlot{TKind::Stop};
    Publish();
    thread.join();
    // The failed file's close reported nothing more of it (it knows it ends early).
    if (failed.load(std::memory_order_acquire) && !raised) {
      ends[errorFile] = error;
    }
  }
  return ends;
}

void TFileWriter::Fail(const TDSPException& e, size_t file) {
  if (!failed.load(std::memory_order_relaxed)) {
    error = e;
    errorFile = file;
    failed.store(true, std::memory_order_release);
  }
}

void TFileWriter::Write(const TSlot& slot) {
  TWAVEFilePlaybackDevice& file = *files[static_cast<size_t>(slot.File)];
  const std::vector<uint8_t>& quiet = silence[static_cast<size_t>(slot.File)];
  const int32_t blockFrames = file.Buffer().CapacityFrames();
  for (int64_t left = slot.GapFrames; left > 0 && blockFrames > 0;) {
    const auto frames = static_cast<int32_t>(std::min<int64_t>(left, blockFrames));
    file.WriteFrames(quiet.data(), frames);
    left -= frames;
  }
  if (slot.Frames > 0) {
    file.WriteFrames(data.data() + static_cast<size_t>(&slot - slots.data()) * slotBytes, slot.Frames);
  }
}

void TFileWriter::Run() {
  NameThisThread("sonolab-writer");
  for (;;) {
    filled.Wait();
    const TSlot& slot = slots[tail];
    if (slot.Kind == TKind::Stop) {
      // Every file completed, even after a failure: it keeps what it has, under sizes that describe it.
      for (size_t i = 0; i < files.size(); ++i) {
        try {
          files[i]->Close();
        } catch (const TDSPException& e) {
          ends[i] = e;
        }
      }
      return;
    }
    if (slot.Kind == TKind::Mark) {
      marked.Post();
    } else if (!failed.load(std::memory_order_relaxed)) {
      const auto file = static_cast<size_t>(slot.File);
      try {
        Write(slot);
      } catch (const TDSPException& e) {
        Fail(e, file);
      } catch (const std::exception& e) {
        TDSPException record;
        record.ResultCode = 0x80004005; // an undetermined error
        record.SourceFile = "FileWriter.cpp";
        record.SourceLine = __LINE__;
        record.Operation = "WriteFile";
        record.Description = e.what();
        Fail(record, file);
      }
    }
    tail = (tail + 1) % slots.size();
    room.Post();
  }
}
