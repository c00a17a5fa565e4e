#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Screen-sized memory shared with the compositor that stays mapped from one capture to the next
// (the copies of the outputs, the overlay windows' paint buffers). Between captures its pages go
// back to the system, so that an idle process holds nothing the size of a screen.
namespace SharedPages {

struct Span
{
    void *start = nullptr;
    size_t size = 0;
};

// Gives back the whole pages inside span, of a shared mapping of a memory file; they read as
// zero afterwards.
inline void release(Span span)
{
    const auto page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t from = (uintptr_t(span.start) + page - 1) & ~(page - 1);
    const uintptr_t to = (uintptr_t(span.start) + span.size) & ~(page - 1);
    if (to > from)
        madvise(reinterpret_cast<void *>(from), to - from, MADV_REMOVE);
}

// Faults the spans' pages in, writable, on a thread of its own and without touching what they
// hold, so that whoever writes them next finds them there. A span unmapped meanwhile is refused
// by the system, harmlessly.
inline void populate(std::vector<Span> spans)
{
    if (spans.empty())
        return;
    std::thread([spans = std::move(spans)] {
        const auto page = uintptr_t(sysconf(_SC_PAGESIZE));
        for (const Span &span : spans) {
            if (!span.size)
                continue;
            const uintptr_t from = uintptr_t(span.start) & ~(page - 1);
            const uintptr_t to = (uintptr_t(span.start) + span.size + page - 1) & ~(page - 1);
            madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
        }
    }).detach();
}

} // namespace SharedPages
