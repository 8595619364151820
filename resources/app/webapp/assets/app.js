// Follows the pipeline's event stream and offers recording. The token comes from the page itself,
// which was served only to a caller holding it.
"use strict";

const token = document.querySelector('meta[name="velko-token"]').content;
const statusLine = document.getElementById("status");
const button = document.getElementById("record");
let state = { phase: "idle" };

function api(path, body) {
  const init = { headers: { "X-Velko-Token": token } };
  if (body !== undefined) {
    init.method = "POST";
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  return fetch(path, init);
}

function render() {
  const phase = state.phase;
  const texts = {
    idle: "Ready to record.",
    recording: state.starting ? "Starting the recorder…" : `Recording — ${state.captured || 0} frames kept`,
    processing: `Building the workflow — ${state.stage || "…"}`,
    review: "Workflow ready to review.",
  };
  statusLine.textContent = texts[phase] || phase;
  if (phase === "idle" && state.error) statusLine.textContent = `Last job failed: ${state.error}`;
  if (phase === "review" && state.understood_error) statusLine.textContent = state.understood_error;
  button.textContent = phase === "recording" ? "Stop" : "Record a task";
  button.disabled = phase === "processing";
  const bundle = (state.bundles || [])[0];
  document.getElementById("review").hidden = !(phase === "review" && bundle);
  if (bundle && bundle.procedure) {
    document.getElementById("workflow").textContent = bundle.procedure.name || "Your workflow";
    const list = document.getElementById("steps");
    list.replaceChildren(...(bundle.procedure.steps || []).map((step) => {
      const item = document.createElement("li");
      item.textContent = [step.action, step.target || step.page_title || step.url, step.app]
        .filter(Boolean).join(" — ");
      return item;
    }));
  }
}

button.addEventListener("click", async () => {
  const path = state.phase === "recording" ? "/api/record/stop" : "/api/record/start";
  const answer = await api(path, path.endsWith("start") ? { display: 1 } : {});
  if (!answer.ok) {
    const body = await answer.json().catch(() => ({}));
    statusLine.textContent = body.error || `status ${answer.status}`;
  }
});

async function follow() {
  for (;;) {
    try {
      const answer = await api("/api/stream");
      const reader = answer.body.pipeThrough(new TextDecoderStream()).getReader();
      let pending = "";
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        pending += value;
        const lines = pending.split("\n");
        pending = lines.pop();
        for (const line of lines) {
          if (!line.startsWith("data:")) continue;
          const event = JSON.parse(line.slice(5));
          if (event.kind === "stage") state.stage = event.key;
          else if (event.kind === "state") state = event;
          render();
        }
      }
    } catch (error) {
      statusLine.textContent = "The pipeline is not answering.";
    }
    await new Promise((resolve) => setTimeout(resolve, 1000));
  }
}

follow();
