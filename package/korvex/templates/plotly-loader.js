// Unpacks plotly.js and the figures that a Korvex page carries compressed (gzip, base64), then draws
// each figure into its element. Nothing is fetched: the page opens with no network.
(function () {
  "use strict";
  if (window.korvexDrawFigures) {
    window.korvexDrawFigures();
    return;
  }

  function say(target, text) {
    const note = document.createElement("p");
    note.className = "korvex-figure-note";
    note.textContent = text;
    target.replaceChildren(note);
  }

  async function inflate(element) {
    const bytes = Uint8Array.from(atob(element.textContent.trim()), (c) => c.charCodeAt(0));
    const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("gzip"));
    return await new Response(stream).text();
  }

  let plotly = null;

  function loadPlotly() {
    if (window.Plotly) {
      return Promise.resolve();
    }
    if (plotly === null) {
      const packed = document.getElementById("korvex-plotlyjs");
      plotly = inflate(packed).then((code) => new Promise((loaded, failed) => {
        const script = document.createElement("script");
        script.onload = loaded;
        script.onerror = () => failed(new Error("plotly.js did not load"));
        script.src = URL.createObjectURL(new Blob([code], {type: "text/javascript"}));
        document.head.appendChild(script);
      }));
    }
    return plotly;
  }

  async function draw(packed) {
    const target = document.getElementById(packed.dataset.target);
    packed.dataset.state = "drawing";
    try {
      await loadPlotly();
      const figure = JSON.parse(await inflate(packed));
      target.replaceChildren();
      await Plotly.newPlot(target, figure.data, figure.layout, {responsive: true});
      packed.dataset.state = "drawn";
    } catch (error) {
      packed.dataset.state = "failed";
      say(target, "The figure could not be drawn: " + error);
      console.error("korvex figure " + packed.dataset.target + ": " + error);
    }
  }

  window.korvexDrawFigures = function () {
    const waiting = document.querySelectorAll("script.korvex-figure:not([data-state])");
    if (typeof DecompressionStream === "undefined") {
      waiting.forEach((packed) => say(document.getElementById(packed.dataset.target),
        "This browser cannot unpack the figure: it needs DecompressionStream " +
        "(Chromium 80, Firefox 113, Safari 16.4 or later)."));
      return;
    }
    waiting.forEach(draw);
  };
  window.korvexDrawFigures();
})();
