#pragma once

#include <thread>
#include <type_traits>
#include <utility>

#include <QFuture>
#include <QPromise>

// Runs blocking work (a server start, a provider probe) on a thread of its own and hands back a
// future that a main-thread task can co_await without blocking the thread.
namespace Background {

template<typename Work>
QFuture<std::invoke_result_t<Work>> run(Work work)
{
    QPromise<std::invoke_result_t<Work>> promise;
    auto future = promise.future();
    promise.start();
    std::thread([promise = std::move(promise), work = std::move(work)]() mutable {
        promise.addResult(work());
        promise.finish();
    }).detach();
    return future;
}

} // namespace Background
