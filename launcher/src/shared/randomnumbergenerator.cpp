#include "shared/randomnumbergenerator.h"

namespace shared {

std::shared_ptr<TRandomNumberGenerator> TRandomNumberGenerator::s_Instance;

namespace {
std::minstd_rand::result_type seedFromDevice() {
    std::random_device device("/dev/urandom");
    const auto seed = static_cast<std::minstd_rand::result_type>(device() % 2147483647u);
    return seed == 0 ? 1 : seed;
}
} // namespace

TRandomNumberGenerator::TRandomNumberGenerator() : m_Engine(seedFromDevice()) {}

std::shared_ptr<TRandomNumberGenerator> TRandomNumberGenerator::getInstance() {
    if (!s_Instance)
        s_Instance.reset(new TRandomNumberGenerator());
    return s_Instance;
}

quint64 TRandomNumberGenerator::getRandomAnimationPhaseNumber(quint64 lower, quint64 upper) {
    return getRandomNumberInRange(lower, upper);
}

quint64 TRandomNumberGenerator::getRandomNumberInRange(quint64 lower, quint64 upper) {
    std::uniform_int_distribution<quint64> distribution(lower, upper);
    return distribution(m_Engine);
}

std::chrono::milliseconds
TRandomNumberGenerator::getRandomAnimationPhaseDuration(std::chrono::milliseconds minimum,
                                                        std::chrono::milliseconds maximum) {
    std::uniform_int_distribution<std::chrono::milliseconds::rep> distribution(minimum.count(),
                                                                               maximum.count());
    return std::chrono::milliseconds(distribution(m_Engine));
}

} // namespace shared
