#include "protocols/statusreader.h"

namespace drawerdriver {

void StatusReader::ask(Clock::time_point deadline)
{
    m_protocol.restart();
    m_awaiting = true;
    m_deadline = deadline;
}

Reading StatusReader::take(const std::uint8_t *data, std::size_t size, Clock::time_point now)
{
    m_frames.clear();
    m_protocol.parse(data, size, m_frames);
    Reading reading;
    for (const Frame &frame : m_frames)
        reading.noise |= frame.kind == Frame::Kind::Noise;
    if (m_awaiting && now > m_deadline)
        m_awaiting = false;
    for (const Frame &frame : m_frames) {
        if (frame.kind == Frame::Kind::Pushed && !reading.noise)
            reading.pushed.push_back(frame.level);
        if (frame.kind != Frame::Kind::Status)
            continue;
        if (m_awaiting && !reading.noise) {
            reading.answer = frame.level;
            m_awaiting = false;
        } else {
            ++reading.late;
        }
    }
    return reading;
}

} // namespace drawerdriver
