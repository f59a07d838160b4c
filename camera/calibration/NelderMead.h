#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>

// Derivative-free minimisation by the Nelder-Mead simplex method with the
// dimension-adapted coefficients (reflection 1, expansion 1 + 2/n,
// contraction 3/4 - 1/(2n), shrink 1 - 1/n), which keep the simplex from
// collapsing in higher dimensions. The defaults are those values for n = 6.
struct NelderMeadSettings {
    double reflection = 1.0;
    double expansion = 4.0 / 3.0;
    double contraction = 2.0 / 3.0;
    double shrink = 5.0 / 6.0;
    double initialStep = 0.5;
    // The search ends when the spread of the simplex (the largest value of
    // the objective at a vertex minus the smallest) falls below this...
    double spreadLimit = 1e-17;
    // ...or after this many iterations, whichever comes first.
    int maxIterations = 2000;
};

template <std::size_t N>
struct NelderMeadResult {
    std::array<double, N> point{};
    double value = 0.0;
    int iterations = 0;
};

// Minimises f, a callable taking const std::array<double, N>&, from the
// starting point. The first simplex is the starting point and N more
// vertices, each one initialStep further along one axis. A value that is not
// a number counts as +infinity, so a vertex in a region where the objective
// breaks down (a pole, an overflow) is always the first to be replaced.
template <std::size_t N, class F>
NelderMeadResult<N> minimiseNelderMead(F&& f, const std::array<double, N>& start,
                                       const NelderMeadSettings& settings = {}) {
    using Point = std::array<double, N>;
    auto eval = [&f](const Point& x) {
        const double value = f(x);
        return std::isnan(value) ? std::numeric_limits<double>::infinity() : value;
    };

    std::array<Point, N + 1> vertex;
    std::array<double, N + 1> value;
    vertex[0] = start;
    value[0] = eval(start);
    for (std::size_t i = 0; i < N; ++i) {
        vertex[i + 1] = start;
        vertex[i + 1][i] += settings.initialStep;
        value[i + 1] = eval(vertex[i + 1]);
    }

    // Moves from the centroid c along the direction c -> worst, scaled.
    auto along = [](const Point& centroid, const Point& worst, double scale) {
        Point p;
        for (std::size_t k = 0; k < N; ++k) p[k] = centroid[k] + scale * (centroid[k] - worst[k]);
        return p;
    };

    std::array<std::size_t, N + 1> order;
    int iteration = 0;
    for (;; ++iteration) {
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&value](std::size_t a, std::size_t b) { return value[a] < value[b]; });
        const std::size_t best = order[0];
        const std::size_t worst = order[N];
        const std::size_t secondWorst = order[N - 1];

        // inf - inf is not a number; the comparison is then false and the
        // search goes on, as it must while a vertex is unusable.
        const double spread = value[worst] - value[best];
        if (spread < settings.spreadLimit || iteration >= settings.maxIterations) break;

        Point centroid{};
        for (std::size_t i = 0; i <= N; ++i) {
            if (i == worst) continue;
            for (std::size_t k = 0; k < N; ++k) centroid[k] += vertex[i][k];
        }
        for (double& c : centroid) c /= static_cast<double>(N);

        const Point reflected = along(centroid, vertex[worst], settings.reflection);
        const double reflectedValue = eval(reflected);

        if (reflectedValue < value[best]) {
            const Point expanded = along(centroid, vertex[worst], settings.reflection * settings.expansion);
            const double expandedValue = eval(expanded);
            if (expandedValue < reflectedValue) {
                vertex[worst] = expanded;
                value[worst] = expandedValue;
            } else {
                vertex[worst] = reflected;
                value[worst] = reflectedValue;
            }
            continue;
        }
        if (reflectedValue < value[secondWorst]) {
            vertex[worst] = reflected;
            value[worst] = reflectedValue;
            continue;
        }

        bool contracted = false;
        if (reflectedValue < value[worst]) {
            // Outside contraction: between the centroid and the reflection.
            const Point outside = along(centroid, vertex[worst], settings.reflection * settings.contraction);
            const double outsideValue = eval(outside);
            if (outsideValue <= reflectedValue) {
                vertex[worst] = outside;
                value[worst] = outsideValue;
                contracted = true;
            }
        } else {
            // Inside contraction: between the centroid and the worst vertex.
            const Point inside = along(centroid, vertex[worst], -settings.contraction);
            const double insideValue = eval(inside);
            if (insideValue < value[worst]) {
                vertex[worst] = inside;
                value[worst] = insideValue;
                contracted = true;
            }
        }
        if (contracted) continue;

        // Shrink every vertex towards the best one.
        for (std::size_t i = 0; i <= N; ++i) {
            if (i == best) continue;
            for (std::size_t k = 0; k < N; ++k) {
                vertex[i][k] = vertex[best][k] + settings.shrink * (vertex[i][k] - vertex[best][k]);
            }
            value[i] = eval(vertex[i]);
        }
    }

    NelderMeadResult<N> result;
    result.point = vertex[order[0]];
    result.value = value[order[0]];
    result.iterations = iteration;
    return result;
}
