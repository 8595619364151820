#pragma once

#include <qcoro/qcorotask.h>

#include <chrono>

class AppModel;

// The headless self-test ("velko --smoke"): waits for the pipeline the model's supervisor is
// starting, checks that it answers with the right token only, serves its page and script,
// reports the expected capture backend and leaves no process behind when stopped; then prints
// one JSON report (compact, keys sorted) and ends the event loop with 0 when all passed, else 1.
namespace SmokeTest {

QCoro::Task<> run(AppModel &model, std::chrono::milliseconds startDeadline);

} // namespace SmokeTest
