// Standard error captured into a file while a test runs, for the drawer
// library's messages, which its worker threads may write at any moment.
#pragma once

#include <QString>

#include <cstdio>

#include <unistd.h>

class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        m_saved = ::dup(2);
        m_file = std::tmpfile();
        ::dup2(::fileno(m_file), 2);
    }
    ~StderrCapture() { finish(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // What was written so far.
    QString text() const
    {
        std::fflush(stderr);
        QByteArray text;
        char buffer[512];
        ssize_t got = 0;
        for (off_t at = 0; (got = ::pread(::fileno(m_file), buffer, sizeof buffer, at)) > 0;
             at += got)
            text.append(buffer, qsizetype(got));
        return QString::fromLocal8Bit(text);
    }

    // Gives standard error back; returns what was written.
    QString finish()
    {
        if (!m_file)
            return m_text;
        m_text = text();
        ::dup2(m_saved, 2);
        ::close(m_saved);
        std::fclose(m_file);
        m_file = nullptr;
        return m_text;
    }

private:
    int m_saved = -1;
    std::FILE *m_file = nullptr;
    QString m_text;
};
