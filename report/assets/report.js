// The report page: reads the data block and draws the sections. Every chart
// records, once drawn, its series on its element (data-drawn, data-series),
// and the page marks itself done (body data-ready) with the errors it saw
// (#page-errors), so that a reader or a test can tell what was shown.
(function () {
  'use strict';
  const data = JSON.parse(document.getElementById('report-data').textContent);
  const root = document.getElementById('report');
  const busName = (bus) => (bus === 5 ? 'j1708' : 'can' + bus);
  // Series differ by dash and by label, not only by colour.
  const looks = [
    { stroke: '#1f4e9c', dash: [] },
    { stroke: '#c0392b', dash: [8, 4] },
    { stroke: '#2e7d32', dash: [2, 3] },
    { stroke: '#8e44ad', dash: [10, 3, 2, 3] },
    { stroke: '#b9770e', dash: [1, 5] },
  ];
  const charts = [];

  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (key === 'text') node.textContent = value;
      else node.setAttribute(key, value);
    }
    for (const child of children) node.append(child);
    return node;
  }
  function section(id, title) {
    const node = el('section', { id: id });
    node.append(el('h2', { text: title }));
    root.append(node);
    return node;
  }
  function table(headers, rows, attrs) {
    const head = el('tr', {}, ...headers.map((h) => el('th', { text: h })));
    const body = el('tbody');
    for (const row of rows) body.append(row);
    return el('table', attrs || {}, el('thead', {}, head), body);
  }
  function row(cells, attrs) {
    return el('tr', attrs || {}, ...cells.map((c) => (c instanceof Node ? el('td', {}, c) : el('td', { text: String(c) }))));
  }
  const ms = (value) => value.toFixed(3);
  function idText(bus, extended, id) {
    if (bus === 5) return 'MID ' + id;
    return id.toString(16).toUpperCase().padStart(extended ? 8 : 3, '0');
  }
  function utc(us) {
    return new Date(Math.floor(us / 1000)).toISOString().replace('T', ' ').replace('Z', ' UTC');
  }

  // Events as numbered dashed lines on a time axis (x in seconds).
  function markers() {
    return {
      hooks: {
        draw: [(u) => {
          const ctx = u.ctx;
          const left = u.bbox.left;
          const right = left + u.bbox.width;
          ctx.save();
          ctx.lineWidth = 1;
          ctx.setLineDash([3, 3]);
          ctx.strokeStyle = '#555';
          ctx.fillStyle = '#000';
          ctx.font = Math.round(11 * devicePixelRatio) + 'px sans-serif';
          data.events.forEach((event, i) => {
            const x = Math.round(u.valToPos(event.t, 'x', true));
            if (x < left || x > right) return;
            ctx.beginPath();
            ctx.moveTo(x, u.bbox.top);
            ctx.lineTo(x, u.bbox.top + u.bbox.height);
            ctx.stroke();
            // Labels of marks close together go on three rows; a failure says so.
            const label = 'E' + (i + 1) + (event.verdict === 'fail' ? ' FAIL' : '');
            ctx.fillText(label, x + 3, u.bbox.top + (12 + (i % 3) * 12) * devicePixelRatio);
          });
          ctx.restore();
        }],
      },
    };
  }
  // Records on the chart's element that it was drawn, and with what.
  function drawnMark(holder) {
    return {
      hooks: {
        draw: [(u) => {
          holder.dataset.drawn = '1';
          holder.dataset.series = u.series.slice(1).map((s) => s.label).join('|');
          holder.dataset.points = String(u.data[0].length);
          holder.dataset.max = u.data.slice(1).map((d) => d.reduce((m, v) => (v == null || v <= m ? m : v), -Infinity)).join('|');
        }],
      },
    };
  }
  function chartWidth(holder) {
    return Math.max(320, Math.min(1200, (holder.parentNode.clientWidth || 1000) - 10));
  }
  // A time axis that is never empty: one point gets a second around it.
  // Events before the first frame or after the last widen it.
  function timeRange(u, min, max) {
    for (const event of data.events) {
      min = Math.min(min, event.t);
      max = Math.max(max, event.t);
    }
    if (min === max) return [min - 1, max + 1];
    return [min, max];
  }

  // --- the run at a glance ---------------------------------------------------
  const glance = section('glance', 'The run at a glance');
  const verdict = data.verdict ? data.verdict.toUpperCase() : 'no scenario';
  const drifting = data.ids.filter((r) => r[9]).length;
  glance.append(table(['', ''], [
    row(['Log', data.title]),
    row(['Start', data.frames ? utc(data.startUs) : 'no frames']),
    row(['Duration', data.durationS.toFixed(3) + ' s']),
    row(['Frames', data.frames]),
    row(['Unreadable lines', data.unreadable + (data.unreadableSamples.length ? ' (' + data.unreadableSamples.join('; ') + ')' : '')]),
    row(['Frames refused', data.refused]),
    row(['Identifiers drifting', drifting]),
    row(['Events', data.events.length + (data.unreadableEvents ? ' (' + data.unreadableEvents + ' unreadable lines skipped)' : '')]),
    row(['Scenario verdict', verdict], { id: 'verdict', 'data-verdict': verdict }),
  ], { class: 'facts' }));
  const busRows = [];
  data.perBus.forEach((frames, bus) => {
    if (!frames) return;
    const peak = data.load.peaks.find((p) => p.bus === bus);
    busRows.push(row([busName(bus), frames, bus < 5 ? data.bitrates[bus] : '',
      peak ? peak.load.toFixed(2) + ' % at ' + peak.atS.toFixed(1) + ' s' : ''], { 'data-bus': busName(bus), 'data-frames': frames }));
  });
  glance.append(busRows.length ? table(['Bus', 'Frames', 'Bit/s', 'Peak load (100 ms)'], busRows, { id: 'buses' })
    : el('p', { text: 'The log holds no frames.' }));

  // --- bus load over time ----------------------------------------------------
  const load = section('load', 'Bus load over time');
  if (data.load.buses.length) {
    load.append(el('p', { text: 'Wire time of each ' + data.load.binMs + ' ms, in percent of the bus, by the time since the first frame' +
      (data.load.reduced ? ' (each pixel column shows the lowest and the highest bin it covers)' : '') + '.' }));
    const holder = el('div', { id: 'chart-load', class: 'chart' });
    load.append(holder);
    const series = [{ label: 's' }];
    data.load.buses.forEach((bus, i) => {
      const look = looks[i % looks.length];
      series.push({ label: busName(bus) + ' load %', stroke: look.stroke, dash: look.dash, width: 1.5, points: { show: false },
        value: (u, v) => (v == null ? '-' : v.toFixed(2) + ' %') });
    });
    charts.push(() => new uPlot({
      width: chartWidth(holder), height: 280, series: series,
      scales: { x: { time: false, range: timeRange }, y: { range: (u, min, max) => [0, Math.max(1, max * 1.1)] } },
      axes: [{ label: 'seconds since the first frame' }, { label: 'load %' }],
      plugins: [markers(), drawnMark(holder)],
    }, [data.load.x, ...data.load.y], holder));
  } else {
    load.append(el('p', { text: 'No CAN frames.' }));
  }

  // --- busiest identifiers ---------------------------------------------------
  const busiest = section('busiest', 'Busiest identifiers');
  const busBits = [0, 0, 0, 0, 0];
  data.ids.forEach((r) => { if (r[0] < 5) busBits[r[0]] += r[4]; });
  const top = data.ids.filter((r) => r[0] < 5 && r[4] > 0).sort((a, b) => b[4] - a[4]).slice(0, 10);
  busiest.append(top.length ? table(['Bus', 'Identifier', 'Frames', 'Share of its bus\u2019s wire time', 'Mean load'],
    top.map((r) => row([busName(r[0]), idText(r[0], r[1], r[2]), r[3], (100 * r[4] / busBits[r[0]]).toFixed(1) + ' %',
      data.durationS > 0 && data.bitrates[r[0]] ? (100 * r[4] / data.bitrates[r[0]] / data.durationS).toFixed(2) + ' %' : '-'])),
    { id: 'busiest-table' }) : el('p', { text: 'No CAN frames.' }));

  // --- timing per identifier -------------------------------------------------
  const timing = section('timing', 'Timing per identifier');
  timing.append(el('p', { text: 'Period: the median interval. Jitter: how far the intervals are off the period (50th and 99th percentile). ' +
    'An identifier drifts when its 99th percentile exceeds ' + (100 * data.tolerance).toFixed(0) + ' % of its period. ' +
    'Open an identifier for a histogram of its intervals.' }));
  const histogram = el('div', { id: 'histogram' });
  const rows = data.ids.map((r) => {
    const key = busName(r[0]) + ':' + idText(r[0], r[1], r[2]);
    const button = el('button', { type: 'button', text: 'open', 'aria-label': 'open ' + key });
    button.addEventListener('click', () => openHistogram(r));
    return row([busName(r[0]), idText(r[0], r[1], r[2]), r[3], r[3] > 1 ? ms(r[5]) : '-', r[3] > 2 ? ms(r[6]) : '-',
      r[3] > 2 ? ms(r[7]) : '-', r[3] > 1 ? ms(r[8]) : '-', r[9] ? 'DRIFTS' : '', button],
    { 'data-key': key, class: r[9] ? 'drifting' : '' });
  });
  timing.append(rows.length ? table(['Bus', 'Identifier', 'Frames', 'Period ms', 'Jitter p50 ms', 'Jitter p99 ms', 'Longest gap ms', 'Drift', ''],
    rows, { id: 'timing-table' }) : el('p', { text: 'No frames.' }));
  timing.append(histogram);
  let histogramChart = null;
  function openHistogram(r) {
    if (histogramChart) histogramChart.destroy();
    histogram.textContent = '';
    const key = busName(r[0]) + ':' + idText(r[0], r[1], r[2]);
    histogram.append(el('h3', { text: 'Intervals of ' + key }));
    const counts = r[11];
    if (!counts.length) {
      histogram.append(el('p', { text: 'Fewer than two frames: no interval.' }));
      return;
    }
    histogram.append(el('p', { text: 'Bins of ' + ms(r[10]) + ' ms; the last bin counts every interval of ' +
      ms(r[10] * (counts.length - 1)) + ' ms or more.' }));
    const holder = el('div', { id: 'chart-histogram', class: 'chart', 'data-key': key });
    histogram.append(holder);
    const x = counts.map((c, i) => i * r[10]);
    histogramChart = new uPlot({
      width: chartWidth(holder), height: 220,
      series: [{ label: 'interval ms' }, { label: key + ' intervals', stroke: '#1f4e9c', fill: 'rgba(31,78,156,0.3)',
        paths: uPlot.paths.bars({ size: [0.9, 60], align: 1 }), points: { show: false } }],
      scales: { x: { time: false, range: (u, min, max) => [0, max + r[10]] } },
      axes: [{ label: 'interval ms' }, { label: 'intervals' }],
      plugins: [drawnMark(holder)],
    }, [x, counts], holder);
  }

  // --- decoded signals -------------------------------------------------------
  let signalChart = null;
  function drawSignal(holder, series) {
    if (signalChart) signalChart.destroy();
    holder.textContent = '';
    const label = series.name + (series.unit ? ' [' + series.unit + ']' : '');
    signalChart = new uPlot({
      width: chartWidth(holder), height: 260,
      series: [{ label: 's' }, { label: label, stroke: looks[0].stroke, width: 1.5, points: { show: series.x.length < 200 } }],
      scales: { x: { time: false, range: timeRange } },
      axes: [{ label: 'seconds since the first frame' }, { label: series.unit || 'value' }],
      plugins: [markers(), drawnMark(holder)],
    }, [series.x, series.y], holder);
  }
  if (data.signals.length || data.decoding.length) {
    const signals = section('signals', 'Decoded signals');
    signals.append(el('p', { text: 'Decoded with ' + data.decoding.join(', ') + '. ' +
      (data.signals.length ? 'Choose a signal; a long one is drawn as the lowest and the highest value of each pixel column.'
        : 'No frame of the log is a message of these databases.') }));
    if (data.signals.length) {
      const choice = el('select', { id: 'signal-choice', 'aria-label': 'signal' });
      data.signals.forEach((series, i) => {
        choice.append(el('option', { value: String(i), text: series.name + (series.unit ? ' [' + series.unit + ']' : '') +
          ' (' + series.count + ' values)' }));
      });
      const holder = el('div', { id: 'chart-signal', class: 'chart' });
      signals.append(choice, holder);
      choice.addEventListener('change', () => drawSignal(holder, data.signals[Number(choice.value)]));
      charts.push(() => {
        const wanted = new URLSearchParams(location.hash.slice(1)).get('signal');
        const index = wanted ? data.signals.findIndex((series) => series.name === wanted) : 0;
        if (index < 0) window.reportErrors.push('no signal ' + wanted);
        choice.value = String(Math.max(0, index));
        drawSignal(holder, data.signals[Math.max(0, index)]);
      });
    }
  }

  // --- events ----------------------------------------------------------------
  const events = section('events', 'Events');
  events.append(data.events.length ? table(['Mark', 'Time s', 'Event', 'Detail', 'Verdict'],
    data.events.map((e, i) => row(['E' + (i + 1), e.t.toFixed(6), e.kind, e.detail, e.verdict ? e.verdict.toUpperCase() : ''],
      { 'data-kind': e.kind, 'data-time': String(e.t) })), { id: 'events-table' })
    : el('p', { text: 'No events.' }));

  const errors = el('pre', { id: 'page-errors' });
  document.body.append(errors);
  try {
    charts.forEach((make) => make());
    // "#open=can0:321&signal=can1 EEC1.EngineSpeed" opens an identifier's
    // histogram and chooses a signal at load.
    const wanted = new URLSearchParams(location.hash.slice(1)).get('open');
    if (wanted) {
      const r = data.ids.find((r) => busName(r[0]) + ':' + idText(r[0], r[1], r[2]) === wanted);
      if (r) openHistogram(r);
      else window.reportErrors.push('no identifier ' + wanted);
    }
  } catch (e) {
    window.reportErrors.push(String(e && e.stack || e));
  }
  // Each chart draws in a microtask once made, so a timer runs after every
  // chart was drawn. The page does not wait for a frame: a headless browser
  // that runs the page's timers in virtual time may read the page before it
  // paints one.
  setTimeout(() => {
    errors.textContent = window.reportErrors.join('\n');
    // Milliseconds from the start of loading until every chart was drawn.
    document.body.dataset.drawnMs = String(Math.round(performance.now()));
    document.body.dataset.ready = '1';
  }, 0);
})();
