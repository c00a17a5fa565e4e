#pragma once

#include <cstdint>

#include <sys/mman.h>

#include <QtGlobal>

// Memory of its own for one large buffer, on huge pages where the system grants them: a 4K
// picture first touched in 4 KiB pages costs thousands of page faults, several times the
// work of filling it. The memory goes back to the system when the buffer is deleted.
class HugePages
{
public:
    static constexpr size_t pageBytes = size_t(2) << 20;

    // Null when the system refuses the memory.
    static HugePages *create(size_t bytes)
    {
        const size_t length = bytes + pageBytes;
        void *start =
            mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (start == MAP_FAILED)
            return nullptr;
        auto *pages = new HugePages(start, length);
        madvise(pages->data(), bytes, MADV_HUGEPAGE);
        return pages;
    }
    ~HugePages() { munmap(m_start, m_length); }
    HugePages(const HugePages &) = delete;
    HugePages &operator=(const HugePages &) = delete;

    uchar *data() const
    {
        const auto at = reinterpret_cast<uintptr_t>(m_start);
        return reinterpret_cast<uchar *>((at + pageBytes - 1) & ~(pageBytes - 1));
    }

private:
    HugePages(void *start, size_t length) : m_start(start), m_length(length) {}

    void *m_start;
    size_t m_length;
};
