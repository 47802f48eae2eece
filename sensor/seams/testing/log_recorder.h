// Records every message of the platform log while alive, for the sensor's
// tests; lines may come from several threads.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ara/log/logging.h"

// Every message of the platform log while alive, debug included.
class Log_recorder {
public:
    Log_recorder()
        : m_capture([this](ara::log::LogLevel level, const std::string& text) {
              std::lock_guard<std::mutex> lock(m_mutex);
              m_lines.emplace_back(level, text);
          }) {
        ara::log::InitLogging("TEST", "sensor tests", ara::log::LogLevel::kDebug, ara::log::LogMode::kConsole, "");
    }

    std::vector<std::pair<ara::log::LogLevel, std::string>> lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

    std::vector<std::pair<ara::log::LogLevel, std::string>> lines(ara::log::LogLevel level) const {
        std::vector<std::pair<ara::log::LogLevel, std::string>> out;
        for (const auto& line : lines()) {
            if (line.first == level) {
                out.push_back(line);
            }
        }
        return out;
    }

    // The texts of every line, or of the lines of one level.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& line : lines()) {
            out.push_back(line.second);
        }
        return out;
    }

    std::vector<std::string> texts(ara::log::LogLevel level) const {
        std::vector<std::string> out;
        for (const auto& line : lines()) {
            if (line.first == level) {
                out.push_back(line.second);
            }
        }
        return out;
    }

    int count(const std::string& text) const {
        int n = 0;
        for (const auto& line : lines()) {
            n += line.second == text ? 1 : 0;
        }
        return n;
    }

    bool has(ara::log::LogLevel level, const std::string& text) const {
        for (const auto& line : lines()) {
            if (line.first == level && line.second == text) {
                return true;
            }
        }
        return false;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<ara::log::LogLevel, std::string>> m_lines;
    ara::log::ScopedCapture m_capture;
};
