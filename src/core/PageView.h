#pragma once

#include <QString>

// The web view that shows the pipeline's page, as the application model drives it.
class PageView
{
public:
    virtual ~PageView() = default;

    virtual bool isLoading() const = 0;
    // Runs a script in the page without waiting for its result.
    virtual void evaluate(const QString &script) = 0;
};
