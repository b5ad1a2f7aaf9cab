#include "cell_counts.h"

#include <utility>

namespace kestrin {

std::size_t CellCounts::home(quint64 k) const {
    // A bijective mix: neighbouring cells differ in their low bits only, which a plain mask of
    // the packed value would crowd into runs of neighbouring slots.
    k = (k ^ (k >> 30)) * 0xbf58476d1ce4e5b9ULL;
    k = (k ^ (k >> 27)) * 0x94d049bb133111ebULL;
    k ^= k >> 31;
    return static_cast<std::size_t>(k) & (m_slots.size() - 1);
}

std::size_t CellCounts::find(quint64 k) const {
    if (m_size == 0)
        return kAbsent;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = home(k);; i = (i + 1) & mask) {
        const Slot& s = m_slots[i];
        if (s.count == 0)
            return kAbsent;
        if (s.key == k)
            return i;
    }
}

int CellCounts::count(int x, int y) const {
    const std::size_t at = find(key(x, y));
    return at == kAbsent ? 0 : m_slots[at].count;
}

void CellCounts::reserve(std::size_t cells) {
    // At most half full keeps probe runs short.
    std::size_t capacity = 16;
    while (capacity < 2 * cells)
        capacity *= 2;
    if (capacity > m_slots.size())
        grow(capacity);
}

void CellCounts::grow(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(m_slots);
    const std::size_t mask = m_slots.size() - 1;
    for (const Slot& s : old) {
        if (s.count == 0)
            continue;
        std::size_t i = home(s.key);
        while (m_slots[i].count != 0)
            i = (i + 1) & mask;
        m_slots[i] = s;
    }
}

void CellCounts::add(int x, int y) {
    if (2 * (m_size + 1) > m_slots.size())
        grow(m_slots.empty() ? 16 : 2 * m_slots.size());
    const quint64 k = key(x, y);
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = home(k);
    for (; m_slots[i].count != 0; i = (i + 1) & mask) {
        if (m_slots[i].key == k) {
            ++m_slots[i].count;
            return;
        }
    }
    m_slots[i] = Slot{k, 1};
    ++m_size;
}

void CellCounts::release(int x, int y) {
    const std::size_t at = find(key(x, y));
    if (at != kAbsent && --m_slots[at].count <= 0)
        erase(at);
}

void CellCounts::erase(std::size_t at) {
    // Shift later members of the probe run back into the hole, so that every member stays
    // reachable from its home slot without passing an empty one.
    const std::size_t mask = m_slots.size() - 1;
    std::size_t hole = at;
    for (std::size_t j = (hole + 1) & mask; m_slots[j].count != 0; j = (j + 1) & mask) {
        const std::size_t h = home(m_slots[j].key);
        // The member at j may move to the hole unless its home lies cyclically in (hole, j].
        const bool homeAfterHole = hole <= j ? (h > hole && h <= j) : (h > hole || h <= j);
        if (!homeAfterHole) {
            m_slots[hole] = m_slots[j];
            hole = j;
        }
    }
    m_slots[hole] = Slot{};
    --m_size;
}

bool CellCounts::noneIn(const QRect& cells) const {
    if (m_size == 0)
        return true;
    for (int x = cells.left(); x <= cells.right(); ++x)
        for (int y = cells.top(); y <= cells.bottom(); ++y)
            if (contains(x, y))
                return false;
    return true;
}

void CellCounts::addAll(const QRect& cells) {
    if (cells.isEmpty())
        return;
    reserve(m_size + static_cast<std::size_t>(cells.width()) * static_cast<std::size_t>(cells.height()));
    for (int x = cells.left(); x <= cells.right(); ++x)
        for (int y = cells.top(); y <= cells.bottom(); ++y)
            add(x, y);
}

void CellCounts::releaseAll(const QRect& cells) {
    for (int x = cells.left(); x <= cells.right(); ++x)
        for (int y = cells.top(); y <= cells.bottom(); ++y)
            release(x, y);
}

void CellCounts::clear() {
    m_slots.clear();
    m_size = 0;
}

void CellCounts::swap(CellCounts& other) noexcept {
    m_slots.swap(other.m_slots);
    std::swap(m_size, other.m_size);
}

} // namespace kestrin
