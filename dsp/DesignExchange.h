// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TDesignExchange: how a filter's design (kernel taps, coefficients, a table, the targets of its glides)
// goes from the thread that builds it to the channels that run it, without a lock and without the
// worker ever freeing memory.
//
// The user-interface thread builds a design whole and publishes it: one atomic store. Each channel, at
// the start of its Process, takes the newest design and holds it (and, while it fades from older ones,
// those too) until it takes again: a few atomic stores of what it holds and two loads, never a wait. Every
// Publish frees, on the user-interface thread, the designs that no channel holds and that are not the newest.
// The two channels of a stereo block take independently (they may run at once); a channel that has never
// taken holds nothing.
//
// Why it is safe: a channel announces what it holds, then checks that the design it loaded is still the
// newest; Publish stores the newest, then reads what the channels hold. With sequentially consistent
// order, either Publish sees the announcement and keeps the design, or the channel sees the newer design
// and takes that one instead, never having used the other.
//
// Threads: Publish, Latest, Empty and destruction on the user-interface thread (or a constructor);
// Take on the thread that runs channel c, one thread per channel at a time.

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <vector>

template <class TDesign> class TDesignExchange {
public:
  TDesignExchange() = default;
  TDesignExchange(const TDesignExchange&) = delete;
  TDesignExchange& operator=(const TDesignExchange&) = delete;

  // The design from now on; frees every older one no channel holds.
  void Publish(std::unique_ptr<TDesign> design) {
    TDesign* const newest = design.get();
    designs.push_back(std::move(design));
    latest.store(newest, std::memory_order_seq_cst);
    std::array<const TDesign*, 2 * 2 * Places> held{};
    size_t n = 0;
    for (auto& channel : holds) {
      for (auto& bank : channel) {
        for (auto& place : bank) {
          held[n++] = place.load(std::memory_order_seq_cst);
        }
      }
    }
    std::erase_if(designs, [&](const std::unique_ptr<TDesign>& d) {
      return d.get() != newest && std::find(held.begin(), held.end(), d.get()) == held.end();
    });
  }

  bool Empty() const { return designs.empty(); }
  // The newest design, as the user interface reads it. Only after a Publish.
  const TDesign& Latest() const { return *designs.back(); }

  // Channel c: the newest design, held from now on together with `kept` and `alsoKept` (designs the
  // channel holds already and may go on using, or nullptr) until the next Take of the channel. Only
  // after a Publish.
  const TDesign& Take(int c, const TDesign* kept = nullptr, const TDesign* alsoKept = nullptr) {
    auto& channel = holds[static_cast<size_t>(c)];
    const int now = bank[static_cast<size_t>(c)];
    // The other bank is filled while this one still holds everything, then this one is emptied.
    auto& next = channel[static_cast<size_t>(1 - now)];
    next[1].store(kept, std::memory_order_seq_cst);
    next[2].store(alsoKept, std::memory_order_seq_cst);
    const TDesign* newest = nullptr;
    do {
      newest = latest.load(std::memory_order_seq_cst);
      next[0].store(newest, std::memory_order_seq_cst);
    } while (latest.load(std::memory_order_seq_cst) != newest);
    for (auto& place : channel[static_cast<size_t>(now)]) {
      place.store(nullptr, std::memory_order_seq_cst);
    }
    bank[static_cast<size_t>(c)] = 1 - now;
    return *newest;
  }

private:
  static constexpr size_t Places = 3; // the newest and two kept

  std::vector<std::unique_ptr<TDesign>> designs; // user interface only; the newest last
  std::atomic<const TDesign*> latest{nullptr};
  // Per channel, two banks of what it holds: the one in use, and the one the next Take fills.
  std::array<std::array<std::array<std::atomic<const TDesign*>, Places>, 2>, 2> holds{};
  std::array<int, 2> bank{}; // per channel, its thread's own
};
