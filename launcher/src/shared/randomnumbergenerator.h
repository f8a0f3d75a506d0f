#pragma once

#include <QtGlobal>

#include <chrono>
#include <memory>
#include <random>

namespace shared {

// The process-wide source of pseudo-random numbers (a minimal-standard linear congruential
// engine seeded once from the operating system). Not synchronised: used on the main thread.
class TRandomNumberGenerator {
public:
    virtual ~TRandomNumberGenerator() = default;

    static std::shared_ptr<TRandomNumberGenerator> getInstance();

    // Uniform in the closed range [lower, upper]; lower <= upper is required.
    virtual quint64 getRandomAnimationPhaseNumber(quint64 lower, quint64 upper);
    virtual quint64 getRandomNumberInRange(quint64 lower, quint64 upper);
    virtual std::chrono::milliseconds getRandomAnimationPhaseDuration(std::chrono::milliseconds minimum,
                                                                      std::chrono::milliseconds maximum);

protected:
    TRandomNumberGenerator();

private:
    std::minstd_rand m_Engine;
    static std::shared_ptr<TRandomNumberGenerator> s_Instance;
};

} // namespace shared
