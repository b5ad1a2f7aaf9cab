#pragma once
// How many objects stand on each cell of the floor grid: an open-addressing hash table of
// cell -> count (linear probing, deletion by shifting back, so no tombstones pile up when
// objects move about). Lookups are a multiply and usually one probe; Qt's QHash needed an
// allocation per cell and most of a large cell's load went to rehashing it.

#include <QRect>
#include <QtGlobal>

#include <cstddef>
#include <vector>

namespace kestrin {

class CellCounts {
public:
    /// True when no cell of `cells` (inclusive) is counted.
    bool noneIn(const QRect& cells) const;
    /// Adds one to every cell of `cells`.
    void addAll(const QRect& cells);
    /// Takes one from every cell of `cells`; cells that reach zero are dropped.
    void releaseAll(const QRect& cells);

    bool contains(int x, int y) const { return find(key(x, y)) != kAbsent; }
    int count(int x, int y) const;
    void add(int x, int y);
    void release(int x, int y);

    std::size_t size() const { return m_size; }
    /// Makes room for `cells` counted cells without growing again.
    void reserve(std::size_t cells);
    void clear();
    void swap(CellCounts& other) noexcept;

private:
    struct Slot {
        quint64 key = 0;
        int count = 0; // 0: the slot is empty
    };
    static constexpr std::size_t kAbsent = ~std::size_t(0);

    static quint64 key(int x, int y) {
        return (static_cast<quint64>(static_cast<quint32>(x)) << 32) | static_cast<quint32>(y);
    }
    std::size_t home(quint64 k) const;
    std::size_t find(quint64 k) const;
    void grow(std::size_t capacity);
    void erase(std::size_t at);

    std::vector<Slot> m_slots; // size 0 or a power of two
    std::size_t m_size = 0;
};

} // namespace kestrin
