#pragma once
// The floor grid that keeps objects apart when they are placed: which cells of the floor are
// taken, and by how many objects.
//
// Small footprints are marked cell by cell. A large one (a 50 m desk covers 40,000 cells) is
// marked on a coarse grid of blocks of cells instead, so that no object marks more than a few
// thousand entries, however large it is and however many others it overlaps: the memory the
// grid takes grows with the number of objects, not with the floor area they cover. A large
// footprint is rounded out to whole blocks, so it keeps a little more floor than it covers.

#include "cell_counts.h"

#include <QRect>

#include <cstddef>

namespace kestrin {

class FloorGrid {
public:
    /// Footprints of more cells than this are marked in blocks.
    static constexpr int kMaxFineCells = 32 * 32;
    /// A block is this many cells along x and along y.
    static constexpr int kBlock = 16;

    /// True when nothing marked covers any cell of `cells` (inclusive).
    bool noneIn(const QRect& cells) const;
    void addAll(const QRect& cells);
    void releaseAll(const QRect& cells);
    /// How many entries marking `cells` adds at most.
    static std::size_t entriesFor(const QRect& cells);
    /// Entries marked, in all.
    std::size_t size() const { return m_cells.size() + m_blocks.size() + m_shadow.size(); }
    /// Makes room for `entries` more entries without growing again.
    void reserve(std::size_t entries);
    void clear();
    void swap(FloorGrid& other) noexcept;

    /// The blocks that `cells` touch.
    static QRect blocksOf(const QRect& cells);
    static bool isLarge(const QRect& cells);

private:
    CellCounts m_cells;  // small footprints, cell by cell
    CellCounts m_blocks; // large footprints, block by block
    CellCounts m_shadow; // the blocks that small footprints touch
};

} // namespace kestrin
