#pragma once

#include "platform/ScreenSource.h"

#include <QElapsedTimer>

#include <xcb/xcb.h>

// Screen grabs of an X display through shared memory (MIT-SHM), monitors through RandR, the
// pointer through XFixes. The connection is opened on first use.
class X11ScreenSource : public ScreenSource
{
public:
    X11ScreenSource() = default;
    ~X11ScreenSource() override;

    bool accessible() override;
    QList<Monitor> monitors() override;
    QImage grab(const QRect &rect) override;
    std::optional<QString> failure() const override;

private:
    bool connect();
    bool ensureSegment(size_t bytes);
    void releaseSegment();
    void drawPointer(QImage &image, const QPoint &origin);
    void coverOwnWindows(QImage &image, const QPoint &origin);
    QList<QRect> ownWindows();
    xcb_atom_t atom(const char *name);

    xcb_connection_t *m_conn = nullptr;
    xcb_screen_t *m_screen = nullptr;
    bool m_usable = false;
    bool m_pointer = false;
    std::optional<QString> m_failure;

    quint32 m_segment = 0;
    int m_shmId = -1;
    uchar *m_memory = nullptr;
    size_t m_size = 0;

    xcb_atom_t m_pidAtom = XCB_ATOM_NONE;
    xcb_atom_t m_clientListAtom = XCB_ATOM_NONE;
    QList<QRect> m_own;
    QElapsedTimer m_ownAge;
};
