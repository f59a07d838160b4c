#pragma once

#include <cstddef>
#include <vector>

// A plain image: width x height pixels of T, rows stored one after the other
// with no padding. Reshaping to a size that fits the storage already held
// does not allocate, so a recycled frame record keeps its buffers.
template <class T>
class Image {
public:
    void reshape(int width, int height) {
        m_width = width;
        m_height = height;
        m_pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    }

    int width() const { return m_width; }
    int height() const { return m_height; }
    std::size_t size() const { return m_pixels.size(); }
    T* data() { return m_pixels.data(); }
    const T* data() const { return m_pixels.data(); }
    T* row(int y) { return m_pixels.data() + static_cast<std::size_t>(y) * m_width; }
    const T* row(int y) const { return m_pixels.data() + static_cast<std::size_t>(y) * m_width; }
    T at(int x, int y) const { return row(y)[x]; }

private:
    std::vector<T> m_pixels;
    int m_width = 0;
    int m_height = 0;
};
