// Test signals whose marks can be found again after re-timing and encoding: a steady tone
// whose amplitude dips (or which sounds only) for a few milliseconds at known times.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

// Root mean square of `count` samples from `first`, every `stride`-th.
inline double rmsOf(const float* first, int count, int stride = 1) {
    double sum = 0.0;
    for (int i = 0; i < count; ++i)
        sum += double(first[i * stride]) * first[i * stride];
    return count > 0 ? std::sqrt(sum / count) : 0.0;
}

// One channel at 48 kHz cut into 1 ms windows.
inline std::vector<double> envelopeOf(const std::vector<float>& samples) {
    constexpr int kWindow = 48;
    std::vector<double> envelope;
    for (size_t at = 0; at + kWindow <= samples.size(); at += kWindow)
        envelope.push_back(rmsOf(samples.data() + at, kWindow));
    return envelope;
}

// The windows (1 ms each) at which the envelope crosses `threshold` upwards (rising) or
// downwards, at least `spacing` windows apart.
inline std::vector<int> crossings(const std::vector<double>& envelope, double threshold,
                                  bool rising, int spacing = 200) {
    std::vector<int> found;
    for (size_t i = 1; i < envelope.size(); ++i) {
        const bool crossed = rising ? envelope[i - 1] < threshold && envelope[i] >= threshold
                                    : envelope[i - 1] >= threshold && envelope[i] < threshold;
        if (crossed && (found.empty() || int(i) - found.back() >= spacing))
            found.push_back(int(i));
    }
    return found;
}
