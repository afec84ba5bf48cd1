#pragma once
// A value built once per process on first use, which tests can have built
// again after they changed what it is read from.
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace VrBase {

template <class T>
class CProcessValue {
public:
    explicit CProcessValue(std::function<T()> build) : m_build(std::move(build)) {}

    // A failed build is not kept: the next use tries again.
    const T& get() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_value) m_value = std::make_unique<const T>(m_build());
        return *m_value;
    }

    // Earlier values stay alive, so references handed out never dangle.
    void reset_for_tests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_value) m_retired.push_back(std::move(m_value));
    }

private:
    std::mutex m_mutex;
    std::function<T()> m_build;
    std::unique_ptr<const T> m_value;
    std::vector<std::unique_ptr<const T>> m_retired;
};

} // namespace VrBase
