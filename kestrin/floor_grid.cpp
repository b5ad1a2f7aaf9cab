#include "floor_grid.h"

#include <cmath>

namespace kestrin {

namespace {
/// The block holding cell `c`, rounding down for negative cells too.
int blockOf(int c) {
    return c >= 0 ? c / FloorGrid::kBlock : -((-(c + 1)) / FloorGrid::kBlock) - 1;
}

std::size_t area(const QRect& r) {
    return r.isEmpty() ? 0 : static_cast<std::size_t>(r.width()) * static_cast<std::size_t>(r.height());
}
} // namespace

QRect FloorGrid::blocksOf(const QRect& cells) {
    return QRect(QPoint(blockOf(cells.left()), blockOf(cells.top())),
                 QPoint(blockOf(cells.right()), blockOf(cells.bottom())));
}

bool FloorGrid::isLarge(const QRect& cells) {
    return area(cells) > static_cast<std::size_t>(kMaxFineCells);
}

bool FloorGrid::noneIn(const QRect& cells) const {
    if (cells.isEmpty())
        return true;
    const QRect blocks = blocksOf(cells);
    if (!m_blocks.noneIn(blocks))
        return false;
    // A large footprint is kept clear of every block a small one touches; a small one is
    // checked cell by cell against the other small ones.
    return isLarge(cells) ? m_shadow.noneIn(blocks) : m_cells.noneIn(cells);
}

void FloorGrid::addAll(const QRect& cells) {
    if (cells.isEmpty())
        return;
    if (isLarge(cells)) {
        m_blocks.addAll(blocksOf(cells));
    } else {
        m_cells.addAll(cells);
        m_shadow.addAll(blocksOf(cells));
    }
}

void FloorGrid::releaseAll(const QRect& cells) {
    if (cells.isEmpty())
        return;
    if (isLarge(cells)) {
        m_blocks.releaseAll(blocksOf(cells));
    } else {
        m_cells.releaseAll(cells);
        m_shadow.releaseAll(blocksOf(cells));
    }
}

std::size_t FloorGrid::entriesFor(const QRect& cells) {
    if (cells.isEmpty())
        return 0;
    const std::size_t blocks = area(blocksOf(cells));
    return isLarge(cells) ? blocks : area(cells) + blocks;
}

void FloorGrid::reserve(std::size_t entries) {
    // Most entries are single cells; the block tables grow as they need to.
    m_cells.reserve(m_cells.size() + entries);
}

void FloorGrid::clear() {
    m_cells.clear();
    m_blocks.clear();
    m_shadow.clear();
}

void FloorGrid::swap(FloorGrid& other) noexcept {
    m_cells.swap(other.m_cells);
    m_blocks.swap(other.m_blocks);
    m_shadow.swap(other.m_shadow);
}

} // namespace kestrin
