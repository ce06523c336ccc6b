// A scripted stand-in for the vendor drawer library: answers come from queues
// (or a default once a queue is empty) and every call is logged.
#pragma once

#include "drawer/drawerlibrary.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class FakeDrawerLibrary : public DrawerLibrary {
public:
    std::int32_t handleAnswer = 0;
    std::int16_t statusAnswer = 1;
    std::int16_t openAnswer = 1;
    QList<std::int32_t> handleAnswers;
    QList<std::int16_t> statusAnswers;
    QList<std::int16_t> openAnswers;
    // Called inside every call, after it is logged.
    std::function<void()> duringCall;

    QStringList calls;

    std::int32_t GetDrawerHandle(std::uint8_t drawerNumber) override
    {
        const std::int32_t handle
            = handleAnswers.isEmpty() ? handleAnswer : handleAnswers.takeFirst();
        return logged(
            QStringLiteral("GetDrawerHandle(%1)=%2").arg(drawerNumber).arg(handle), handle);
    }
    void ReleaseDrawerHandle(std::int32_t handle) override
    {
        logged(QStringLiteral("ReleaseDrawerHandle(%1)").arg(handle), 0);
    }
    std::int16_t GetDrawerStatus(std::int32_t handle) override
    {
        const std::int16_t status
            = statusAnswers.isEmpty() ? statusAnswer : statusAnswers.takeFirst();
        return logged(QStringLiteral("GetDrawerStatus(%1)=%2").arg(handle).arg(status), status);
    }
    std::int16_t OpenDrawer(std::int32_t handle) override
    {
        const std::int16_t result = openAnswers.isEmpty() ? openAnswer : openAnswers.takeFirst();
        return logged(QStringLiteral("OpenDrawer(%1)=%2").arg(handle).arg(result), result);
    }

    // The calls logged since the last take.
    QStringList takeCalls()
    {
        QStringList taken;
        taken.swap(calls);
        return taken;
    }

private:
    template<typename T> T logged(const QString &call, T result)
    {
        calls << call;
        if (duringCall)
            duringCall();
        return result;
    }
};
