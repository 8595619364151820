#include "platform/ScreenSource.h"

#include "platform/linux/x11/X11ScreenSource.h"

std::unique_ptr<ScreenSource> ScreenSource::create()
{
    return std::make_unique<X11ScreenSource>();
}
