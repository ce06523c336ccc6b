// A drawer window without a window: each write the controller makes becomes a
// line of the log it is given (the scripted library's, so that one log shows
// the order of both).
#pragma once

#include "controller/drawerview.h"

#include <QStringList>

class ScriptedView : public DrawerView {
public:
    explicit ScriptedView(QStringList &log) : m_log(log) { }

    void setCaption(Control c, std::string_view text) override
    {
        note(c, "caption " + QString::fromUtf8(text.data(), qsizetype(text.size())));
    }
    void setTextColor(Control c, int bgr) override { note(c, "text " + QString::number(bgr)); }
    void setFillColor(Control c, int bgr) override { note(c, "fill " + QString::number(bgr)); }
    void setBorderColor(Control c, int bgr) override { note(c, "border " + QString::number(bgr)); }
    void setEnabled(Control c, bool on) override { note(c, on ? "enabled" : "disabled"); }
    void setTimerEnabled(bool on) override { m_log << (on ? "Timer1 on" : "Timer1 off"); }
    void showAbout() override { m_log << "About"; }
    void endProgram() override { m_log << "end"; }

private:
    void note(Control c, const QString &what)
    {
        static const char *const names[]
            = {"Status", "Label2", "Shape1", "Open_Button", "Status_Button", "mnuCashDrawer"};
        m_log << QLatin1String(names[int(c)]) + ' ' + what;
    }

    QStringList &m_log;
};
