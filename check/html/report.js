// Draws the report of linkdeal-check from the JSON in #data:
//   report    the --json document itself (counts, histograms, suspects' names)
//   view      "full": every switch and link drawn; "aggregate": switches as
//             strips of port loads, links bundled between pods
//   nodes     [name, tier, group]: tier 0 hosts, 1 their leaves, ... (-1 no
//             host reaches it); group: a host's leaf node, a switch's pod
//   cables    [nodeA, portA, nodeB, portB, width, speed, degraded]; directed
//             link 2k leaves cable k's A end, 2k+1 its B end
//   stages    {loads: per directed link, pairs: [src, dst, ...] by node,
//             paths: [[pair, directed links...]], values: results or null}
//   suspects  [[link, links it cannot be told apart from...]] in the text
//             report's order; slow: [[stage index, pair index]]
'use strict';
window.addEventListener('error', function (e) {
  const div = document.createElement('div');
  div.className = 'js-error';
  div.textContent = 'Script error: ' + e.message;
  document.body.insertBefore(div, document.body.firstChild);
});

(function () {
  const D = JSON.parse(document.getElementById('data').textContent);
  const R = D.report;
  const LIMIT = R.fabric.max_flows;
  const nodes = D.nodes, cables = D.cables, stages = D.stages;
  const nDirs = 2 * cables.length;
  const app = document.getElementById('app');
  const SVGNS = 'http://www.w3.org/2000/svg';
  const GREY = '#c8c8c8', OVER = '#d55e00', SLOW = '#cc79a7';
  const collator = new Intl.Collator(undefined, { numeric: true });

  function el(tag, attrs, parent, text) {
    const e = document.createElement(tag);
    for (const k in attrs || {}) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    if (parent) parent.appendChild(e);
    return e;
  }
  function svg(tag, attrs, parent, text) {
    const e = document.createElementNS(SVGNS, tag);
    for (const k in attrs || {}) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    if (parent) parent.appendChild(e);
    return e;
  }
  function plural(n, one, many) { return n + ' ' + (n === 1 ? one : many); }
  function fmt(v) { return v === null || v === undefined ? '-' : (+v.toPrecision(6)).toString(); }

  // Directed links: the egress node and port, the other end.
  function egressNode(d) { return cables[d >> 1][(d & 1) ? 2 : 0]; }
  function egressPort(d) { return cables[d >> 1][(d & 1) ? 3 : 1]; }
  function remoteNode(d) { return cables[d >> 1][(d & 1) ? 0 : 2]; }
  function remotePort(d) { return cables[d >> 1][(d & 1) ? 1 : 3]; }
  function portName(n, p) { return nodes[n][0] + '/P' + p; }
  function dirName(d) {
    return portName(egressNode(d), egressPort(d)) + ' -> ' + portName(remoteNode(d), remotePort(d));
  }
  function isSwitch(n) { return nodes[n][1] !== 0; }
  const SPEEDS = { 2500: 'SDR', 5000: 'DDR', 10000: 'QDR', 14000: 'FDR', 25000: 'EDR',
    50000: 'HDR', 100000: 'NDR', 200000: 'XDR' };
  function rateText(c) {
    return (c[4] ? c[4] + 'x' : '?x') + ' ' + (c[5] ? (SPEEDS[c[5]] || c[5] / 1000 + ' Gb/s') : '?');
  }

  // Load colours: grey unused, blues up to the limit, vermillion above it
  // (told apart by every common kind of colour blindness, and drawn thicker).
  const BLUES = [[158, 202, 225], [66, 146, 198], [8, 81, 156], [8, 48, 107]];
  function blue(t) {
    const x = Math.max(0, Math.min(1, t)) * (BLUES.length - 1);
    const i = Math.min(BLUES.length - 2, Math.floor(x)), f = x - i;
    const c = BLUES[i].map((v, k) => Math.round(v + (BLUES[i + 1][k] - v) * f));
    return 'rgb(' + c.join(',') + ')';
  }
  const colours = new Map();
  function loadColour(load) {
    if (load === 0) return GREY;
    if (load > LIMIT) return OVER;
    let c = colours.get(load);
    if (!c) colours.set(load, c = blue(LIMIT <= 1 ? 1 : (load - 1) / (LIMIT - 1)));
    return c;
  }
  // Viridis stops, for bandwidth: dark is slow, yellow fast.
  const VIRIDIS = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
  function viridis(t) {
    const x = Math.max(0, Math.min(1, t)) * (VIRIDIS.length - 1);
    const i = Math.min(VIRIDIS.length - 2, Math.floor(x)), f = x - i;
    const c = VIRIDIS[i].map((v, k) => Math.round(v + (VIRIDIS[i + 1][k] - v) * f));
    return 'rgb(' + c.join(',') + ')';
  }

  // Labels: the part of each name that differs, cut at separators.
  // Tight: also the common prefix of the tier that no separator ends
  // ("leaf01", "leaf02" give "01", "02"), short of splitting a number.
  function shortNames(ids, tight) {
    let names = ids.map(i => nodes[i][0]);
    if (names.length < 2) return names;
    let pre = names[0], suf = names[0];
    for (const n of names) {
      let i = 0;
      while (i < pre.length && i < n.length && pre[i] === n[i]) ++i;
      pre = pre.slice(0, i);
      let j = 0;
      while (j < suf.length && j < n.length && suf[suf.length - 1 - j] === n[n.length - 1 - j]) ++j;
      suf = suf.slice(suf.length - j);
    }
    const seps = /[;:_\/.\- ]/;
    let p = 0;
    for (let i = 0; i < pre.length; ++i) if (seps.test(pre[i])) p = i + 1;
    let s = 0;
    for (let i = suf.length - 1; i >= 0; --i) if (seps.test(suf[i])) s = suf.length - i;
    names = names.map(n => (n.length > p + s ? n.slice(p, n.length - s) : n));
    if (!tight) return names;
    let q = pre.length - p;
    const rest = names[0];
    while (q > 0 && /[0-9]/.test(rest[q - 1]) && /[0-9]/.test(rest[q] || '')) --q;
    return names.every(n => n.length > q) ? names.map(n => n.slice(q)) : names;
  }
  function fit(text, px) {
    const chars = Math.max(1, Math.floor(px / 6.6));
    return text.length <= chars ? text : text.slice(0, Math.max(1, chars - 1)) + '\u2026';
  }

  // --- the fabric's structure -------------------------------------------
  let topTier = 0;
  for (const n of nodes) topTier = Math.max(topTier, n[1]);
  const unreachedTier = topTier + 1;
  function tierOf(n) { return nodes[n][1] < 0 ? unreachedTier : nodes[n][1]; }
  const adj = nodes.map(() => []);  // [neighbour, cable, which end of it]
  cables.forEach((c, k) => { adj[c[0]].push([c[2], k, 0]); adj[c[2]].push([c[0], k, 1]); });
  const dirsOf = nodes.map(() => []);  // egress directed links by node
  for (let d = 0; d < nDirs; ++d) dirsOf[egressNode(d)].push(d);

  // Order per tier: leaves by pod and name, hosts under their leaf, each
  // higher tier by the mean position of its neighbours below.
  const tiers = [];
  for (let t = 0; t <= unreachedTier; ++t) tiers.push([]);
  nodes.forEach((n, i) => tiers[tierOf(i)].push(i));
  const byName = (a, b) => collator.compare(nodes[a][0], nodes[b][0]);
  tiers[1].sort((a, b) => (nodes[a][2] - nodes[b][2]) || byName(a, b));
  const rank = new Float64Array(nodes.length).fill(-1);
  tiers[1].forEach((n, i) => { rank[n] = i; });
  tiers[0].sort((a, b) => {
    const la = nodes[a][2] < 0 ? Infinity : rank[nodes[a][2]];
    const lb = nodes[b][2] < 0 ? Infinity : rank[nodes[b][2]];
    return (la - lb) || byName(a, b);
  });
  for (let t = 2; t <= unreachedTier; ++t) {
    const key = new Map();
    for (const n of tiers[t]) {
      let sum = 0, count = 0;
      for (const [m] of adj[n]) if (tierOf(m) < t && rank[m] >= 0) { sum += rank[m] / tiers[tierOf(m)].length; ++count; }
      key.set(n, count ? sum / count : 2);
    }
    tiers[t].sort((a, b) => (key.get(a) - key.get(b)) || byName(a, b));
    tiers[t].forEach((n, i) => { rank[n] = i; });
  }
  tiers[0].forEach((n, i) => { rank[n] = i; });
  const tierCount = tiers.length - (tiers[unreachedTier].length ? 0 : 1);

  // --- what the selected stage shows --------------------------------------
  const stageSel = { key: 'all' };
  function defaultStage() {
    const failing = R.stages.findIndex(s => !s.holds);
    if (failing >= 0) return failing;
    if (D.slow.length) return D.slow[0][0];
    return stages.length ? 0 : 'all';
  }
  // load: per directed link (the most over all stages for "all").
  function currentLoads() {
    if (stageSel.key !== 'all') return stages[stageSel.key].loads;
    const max = new Int32Array(nDirs);
    for (const s of stages) for (let d = 0; d < nDirs; ++d) if (s.loads[d] > max[d]) max[d] = s.loads[d];
    return max;
  }
  function stagesShown() { return stageSel.key === 'all' ? stages.map((s, i) => i) : [stageSel.key]; }
  const pairsByDir = new Map();  // stage -> Map(dir -> [pair])
  function pairsCrossing(s, d) {
    if (!pairsByDir.has(s)) {
      const m = new Map();
      for (const p of stages[s].paths) for (let i = 1; i < p.length; ++i) {
        if (!m.has(p[i])) m.set(p[i], []);
        m.get(p[i]).push(p[0]);
      }
      pairsByDir.set(s, m);
    }
    return pairsByDir.get(s).get(d) || [];
  }
  function pathOf(s, pair) {
    for (const p of stages[s].paths) if (p[0] === pair) return p.slice(1);
    return [];
  }
  function pairText(s, i) {
    const pr = stages[s].pairs;
    return nodes[pr[2 * i]][0] + ' -> ' + nodes[pr[2 * i + 1]][0];
  }
  const suspectOf = new Map();  // dir -> suspect number (1-based)
  D.suspects.forEach((c, i) => c.forEach(d => { if (d >= 0 && !suspectOf.has(d)) suspectOf.set(d, i + 1); }));

  // --- page skeleton ----------------------------------------------------
  const f = R.fabric;
  el('h1', {}, app, 'linkdeal-check report');
  const head = el('div', {}, app);
  head.appendChild(document.createTextNode(plural(f.switches, 'switch', 'switches') + ', ' +
    plural(f.hosts, 'host', 'hosts') + ', ' + plural(f.links, 'link', 'links') + '; LMC ' + f.lmc +
    '; at most ' + plural(LIMIT, 'pair', 'pairs') + ' per switch egress port (-n ' + LIMIT + '); ' +
    plural(R.stages.length, 'stage', 'stages') + ': '));
  el('span', { class: R.holds ? 'holds' : 'fails' }, head, R.holds ? 'holds' : 'FAILS');

  const bar = el('div', { class: 'bar' }, app);
  const label = el('label', {}, bar, 'Stage ');
  const select = el('select', { id: 'stage' }, label);
  el('option', { value: 'all' }, select, 'all stages (coverage)');
  R.stages.forEach((s, i) => el('option', { value: i }, select,
    'stage ' + s.stage + (s.holds ? '' : ' (FAILS)')));
  const legend = el('div', { class: 'legend' }, bar);
  function key(colour, text, style) {
    const s = el('span', {}, legend);
    el('span', { class: 'key', style: 'border-top:' + (style || '3px solid ' + colour) }, s);
    s.appendChild(document.createTextNode(text));
  }
  key(GREY, 'no pair');
  key(LIMIT > 1 ? blue(0) : blue(1), LIMIT > 1 ? 'load 1' : 'load 1 (at the limit)');
  if (LIMIT > 1) key(blue(1), 'load ' + LIMIT + ' (the limit)');
  key(OVER, 'above the limit: over', '5px solid ' + OVER);
  key('#333', 'degraded link (dashed)', '3px dashed #333');
  if (R.results) {
    key(SLOW, 'slow pair path', '3px dashed ' + SLOW);
    const s = el('span', {}, legend);
    el('span', { class: 'box', style: 'border:2px solid #111;border-radius:8px;text-align:center;font-weight:bold;line-height:12px' }, s, 'n');
    s.appendChild(document.createTextNode('suspect class n, its links outlined in grey'));
  }
  el('div', { class: 'note' }, app, D.view === 'full'
    ? 'Each cable is two lines, one per direction (left: upwards, right: downwards). Hover a switch or a link for its ports, load and pairs.'
    : 'Hover a strip for the switch, the port and its load.');
  const fabricDiv = el('div', { id: 'fabric' }, app);
  const lists = el('div', { class: 'panels' }, app);
  const stagePanel = el('div', { class: 'panels' }, app);
  const tip = el('div', { id: 'tip' }, document.body);

  // --- full view: every switch, host and link in SVG -----------------------
  const ROW = 110, BOXH = 24, HOSTH = 16;
  let layout = null;
  function fullLayout() {
    const width = Math.max(fabricDiv.clientWidth - 4, 800);
    const nHosts = Math.max(1, tiers[0].length);
    const hostW = Math.max(4, Math.min(64, Math.floor((width - 80) / nHosts)));
    const used = 70 + nHosts * hostW, W = Math.max(width, used + 10);
    const H = 30 + (tierCount - 1) * ROW + HOSTH + (hostW >= 11 ? 70 : 20);
    const pos = new Array(nodes.length);
    const yOf = t => 30 + (tierCount - 1 - t) * ROW;
    tiers[0].forEach((n, i) => { pos[n] = { x: 70 + (i + 0.5) * hostW, y: yOf(0), w: Math.max(2, hostW - 1), h: HOSTH }; });
    // A leaf sits over its hosts; leaves without hosts after them.
    const span = new Map();
    for (const n of tiers[0]) {
      const leaf = nodes[n][2];
      if (leaf < 0) continue;
      const s = span.get(leaf) || [Infinity, -Infinity];
      s[0] = Math.min(s[0], pos[n].x - hostW / 2); s[1] = Math.max(s[1], pos[n].x + hostW / 2);
      span.set(leaf, s);
    }
    let extra = 70 + nHosts * hostW;
    for (const n of tiers[1]) {
      let s = span.get(n);
      if (!s) { s = [extra, extra + 60]; extra += 60; }
      pos[n] = { x: (s[0] + s[1]) / 2, y: yOf(1), w: Math.max(6, Math.min(160, s[1] - s[0] - 6)), h: BOXH };
    }
    for (let t = 2; t < tiers.length; ++t) {
      const list = tiers[t], step = (Math.max(used, extra) - 70) / Math.max(1, list.length);
      list.forEach((n, i) => { pos[n] = { x: 70 + (i + 0.5) * step, y: yOf(t), w: Math.max(6, Math.min(160, step - 8)), h: BOXH }; });
    }
    // Where each cable meets a box: along the edge facing the other end.
    const attach = new Array(2 * cables.length);
    nodes.forEach((node, n) => {
      const up = [], down = [];
      for (const e of adj[n]) (tierOf(e[0]) >= tierOf(n) ? up : down).push(e);
      for (const [list, top] of [[up, true], [down, false]]) {
        list.sort((a, b) => pos[a[0]].x - pos[b[0]].x || a[1] - b[1]);
        const p = pos[n];
        list.forEach(([m, k, end], j) => {
          attach[2 * k + end] = { x: p.x - p.w / 2 + (j + 0.5) * p.w / list.length, y: top ? p.y : p.y + p.h };
        });
      }
    });
    return { W, H, pos, attach, yOf };
  }

  function drawFull() {
    if (!layout) layout = fullLayout();
    const { W, H, pos, attach, yOf } = layout;
    fabricDiv.textContent = '';
    const root = svg('svg', { width: W, height: H, viewBox: '0 0 ' + W + ' ' + H }, fabricDiv);
    const loads = currentLoads();
    const many = cables.length > 3000;
    const gOutline = svg('g', {}, root), gLinks = svg('g', {}, root), gSlow = svg('g', {}, root);
    const gBoxes = svg('g', {}, root), gBadges = svg('g', {}, root);
    // Each direction a line, offset to its side of the cable.
    function seg(d, off) {
      const a = attach[d ^ (d & 1)], b = attach[(d >> 1) * 2 + 1];
      const from = (d & 1) ? b : a, to = (d & 1) ? a : b;
      const upward = from.y > to.y || (from.y === to.y && from.x < to.x);
      const o = upward ? -off : off;
      return { x1: from.x + o, y1: from.y, x2: to.x + o, y2: to.y };
    }
    for (let d = 0; d < nDirs; ++d) {
      const c = cables[d >> 1], load = loads[d], over = load > LIMIT;
      const s = seg(d, many ? 0.8 : 1.6);
      const attrs = Object.assign({ class: 'link' + (over ? ' over' : ''), 'data-d': d,
        stroke: loadColour(load), 'stroke-width': over ? (many ? 2.5 : 3.5) : (many ? 1 : 1.8) }, s);
      if (c[6]) attrs['stroke-dasharray'] = '6 3';
      svg('line', attrs, gLinks);
      if (suspectOf.has(d)) {
        const o = seg(d, 0);
        svg('line', Object.assign({ class: 'suspect-outline', 'stroke-width': 9 }, o), gOutline);
        const k = suspectOf.get(d), main = D.suspects[k - 1][0] === d;
        const mx = (o.x1 + o.x2) / 2, my = (o.y1 + o.y2) / 2;
        const g = svg('g', { class: main ? 'badge suspect' : 'badge suspect-twin', 'data-d': d }, gBadges);
        svg('circle', { cx: mx, cy: my, r: main ? 9 : 7 }, g);
        svg('text', { x: mx, y: my }, g, String(k));
      }
    }
    // The paths of the slow pairs shown, and their ends.
    const slowEnds = new Set();
    for (const [s, i] of D.slow) {
      if (stageSel.key !== 'all' && stageSel.key !== s) continue;
      for (const d of pathOf(s, i)) if (d >= 0) svg('line', Object.assign({ class: 'slow-path' }, seg(d, 0)), gSlow);
      slowEnds.add(stages[s].pairs[2 * i]); slowEnds.add(stages[s].pairs[2 * i + 1]);
    }
    const hot = new Set();
    for (let d = 0; d < nDirs; ++d) if (loads[d] > LIMIT) hot.add(egressNode(d));
    for (let t = 0; t < tierCount; ++t) {
      let labels = shortNames(tiers[t]), tierName = t === 0 ? 'hosts' : t === unreachedTier ? 'no host' : 'tier ' + t;
      const room = t === 0 ? 60 : Math.min(...tiers[t].map(n => pos[n].w - 4));
      if (t && labels.length && labels.some(l => l.length * 6.6 > room)) {
        const tight = shortNames(tiers[t], true);
        svg('text', { x: 4, y: yOf(t) + BOXH / 2 + 16, class: 'tier-label' }, root,
          fit(labels[0].slice(0, labels[0].length - tight[0].length) + '…', 64));
        labels = tight;
      }
      svg('text', { x: 4, y: yOf(t) + (t ? BOXH / 2 - 2 : HOSTH / 2 + 4), class: 'tier-label' }, root, tierName);
      tiers[t].forEach((n, i) => {
        const p = pos[n];
        if (t === 0) {
          svg('rect', { class: 'host' + (slowEnds.has(n) ? ' slow-end' : ''), 'data-n': n,
            x: p.x - p.w / 2, y: p.y, width: p.w, height: p.h }, gBoxes);
          if (p.w >= 11) svg('text', { x: p.x + 4, y: p.y + p.h + 4, transform: 'rotate(90 ' + (p.x + 4) + ' ' + (p.y + p.h + 4) + ')' }, gBoxes, fit(labels[i], 60));
        } else {
          svg('rect', { class: 'sw' + (hot.has(n) ? ' hot' : ''), 'data-n': n, rx: 3,
            x: p.x - p.w / 2, y: p.y, width: p.w, height: p.h }, gBoxes);
          if (p.w >= 14) svg('text', { x: p.x, y: p.y + p.h / 2 + 4, 'text-anchor': 'middle' }, gBoxes, fit(labels[i], p.w - 4));
        }
      });
    }
    root.addEventListener('mousemove', hover);
    root.addEventListener('mouseleave', () => { tip.style.display = 'none'; });
  }

  // --- aggregated view: strips of port loads, links bundled by pod ----------
  function drawAggregate() {
    fabricDiv.textContent = '';
    const loads = currentLoads();
    const width = Math.max(fabricDiv.clientWidth - 4, 800);
    const GAP = 3, LEFT = 84, BAND = 70;
    // Groups per tier: the pods below the top, the top tier as one.
    const rows = [];
    let maxPorts = 1;
    for (let t = tierCount - 1; t >= 1; --t) {
      const groups = new Map();
      for (const n of tiers[t]) {
        const g = nodes[n][2];
        if (!groups.has(g)) groups.set(g, []);
        groups.get(g).push(n);
        for (const d of dirsOf[n]) maxPorts = Math.max(maxPorts, egressPort(d));
      }
      const list = [...groups.entries()].sort((a, b) => a[0] - b[0]).map(e => ({ pod: e[0], members: e[1].sort(byName) }));
      rows.push({ tier: t, groups: list, count: tiers[t].length });
    }
    const hostsOf = new Map();
    let maxHosts = 1;
    for (const h of tiers[0]) {
      const l = nodes[h][2];
      if (!hostsOf.has(l)) hostsOf.set(l, []);
      hostsOf.get(l).push(h);
      maxHosts = Math.max(maxHosts, hostsOf.get(l).length);
    }
    let widest = 1, widestGroups = 1;
    for (const r of rows) if (r.count + r.groups.length * GAP > widest + widestGroups * GAP) { widest = r.count; widestGroups = r.groups.length; }
    const stripW = Math.max(1, Math.min(14, Math.floor((width - LEFT - 10 - widestGroups * GAP) / widest)));
    const cellH = Math.max(1, Math.min(4, Math.floor(100 / maxPorts)));
    const stripH = maxPorts * cellH, hostH = Math.max(1, Math.min(4, Math.floor(60 / maxHosts))) * maxHosts;
    const W = Math.max(width, LEFT + 10 + widest * stripW + widestGroups * GAP);
    const H = 20 + rows.length * (stripH + BAND) + hostH + 30;
    const canvas = el('canvas', { width: W, height: H }, fabricDiv);
    const ctx = canvas.getContext('2d');
    ctx.font = '11px sans-serif';
    const at = new Map();  // switch -> {x, y}
    const groupBox = [];  // per row: [{x0, x1, y0, y1, members}]
    rows.forEach((r, ri) => {
      const y = 20 + ri * (stripH + BAND);
      const used = r.count * stripW + r.groups.length * GAP;
      let x = LEFT + Math.max(0, (W - LEFT - 10 - used) / 2);
      const boxes = [];
      for (const g of r.groups) {
        const x0 = x;
        for (const n of g.members) { at.set(n, { x, y }); x += stripW; }
        boxes.push({ x0, x1: x, y0: y, y1: y + stripH, pod: g.pod, members: g.members });
        x += GAP;
      }
      groupBox.push(boxes);
      ctx.fillStyle = '#666';
      ctx.fillText(r.tier === unreachedTier ? 'no host' : 'tier ' + r.tier, 4, y + stripH / 2);
      ctx.fillText(plural(r.count, 'switch', 'switches'), 4, y + stripH / 2 + 13);
    });
    // Bundles: from each group to the groups it is cabled to one tier up.
    const groupOf = new Map();
    groupBox.forEach((boxes, ri) => boxes.forEach((b, bi) => b.members.forEach(n => groupOf.set(n, [ri, bi]))));
    const bundles = new Map();
    cables.forEach((c, k) => {
      const a = groupOf.get(c[0]), b = groupOf.get(c[2]);
      if (!a || !b || a[0] === b[0]) return;
      const [lo, hi] = a[0] > b[0] ? [a, b] : [b, a];
      const id = lo.join(',') + ':' + hi.join(',');
      const bu = bundles.get(id) || { lo, hi, links: 0, max: 0 };
      bu.links += 1;
      bu.max = Math.max(bu.max, loads[2 * k], loads[2 * k + 1]);
      bundles.set(id, bu);
    });
    const sorted = [...bundles.values()].sort((a, b) => a.max - b.max);  // the red on top
    for (const bu of sorted) {
      const lo = groupBox[bu.lo[0]][bu.lo[1]], hi = groupBox[bu.hi[0]][bu.hi[1]];
      const xl = (lo.x0 + lo.x1) / 2;
      const xh = Math.max(hi.x0, Math.min(hi.x1, xl));
      ctx.strokeStyle = loadColour(bu.max);
      ctx.lineWidth = Math.max(1, Math.min(10, Math.sqrt(bu.links) / 2)) + (bu.max > LIMIT ? 2 : 0);
      ctx.beginPath(); ctx.moveTo(xl, lo.y0 - 1); ctx.lineTo(xh, hi.y1 + 1); ctx.stroke();
    }
    // Strips: each switch a column of its ports' egress loads, port 1 on top.
    ctx.fillStyle = '#f0f0f0';
    for (const [n, p] of at) ctx.fillRect(p.x, p.y, Math.max(1, stripW - (stripW > 2 ? 1 : 0)), stripH);
    for (const [n, p] of at) for (const d of dirsOf[n]) {
      ctx.fillStyle = loadColour(loads[d]);
      ctx.fillRect(p.x, p.y + (egressPort(d) - 1) * cellH, Math.max(1, stripW - (stripW > 2 ? 1 : 0)), cellH);
    }
    // Hosts under their leaf: each host's own link out, one cell per host.
    const hostY = 20 + rows.length * (stripH + BAND) - BAND + stripH + 14;
    const hostCell = hostH / maxHosts;
    ctx.fillStyle = '#666';
    ctx.fillText('hosts', 4, hostY + hostH / 2);
    for (const [leaf, hs] of hostsOf) {
      const p = at.get(leaf);
      if (!p) continue;
      hs.forEach((h, i) => {
        const d = dirsOf[h].length ? dirsOf[h][0] : -1;
        ctx.fillStyle = d < 0 ? '#f0f0f0' : loadColour(loads[d]);
        ctx.fillRect(p.x, hostY + i * hostCell, Math.max(1, stripW - (stripW > 2 ? 1 : 0)), hostCell);
      });
    }
    // Marks that must not get lost: ports above the limit, suspects.
    function cellOf(d) {
      const n = egressNode(d);
      if (isSwitch(n)) { const p = at.get(n); return p && { x: p.x, y: p.y + (egressPort(d) - 1) * cellH }; }
      const leaf = nodes[n][2], p = at.get(leaf);
      return p && { x: p.x, y: hostY + hostsOf.get(leaf).indexOf(n) * hostCell };
    }
    ctx.lineWidth = 1;
    ctx.strokeStyle = '#222';
    ctx.setLineDash([2, 2]);
    for (let d = 0; d < nDirs; ++d) {
      const c = cables[d >> 1][6] && cellOf(d);
      if (c) ctx.strokeRect(c.x - 3, c.y - 3, stripW + 5, cellH + 5);
    }
    ctx.setLineDash([]);
    ctx.lineWidth = 2;
    ctx.strokeStyle = OVER;
    for (let d = 0; d < nDirs; ++d) {
      if (loads[d] <= LIMIT) continue;
      const c = cellOf(d);
      // Thin strips get a frame around the cell, wide ones a taller cell.
      if (c && stripW < 4) ctx.strokeRect(c.x - 2, c.y - 2, stripW + 3, cellH + 3);
      else if (c) { ctx.fillStyle = OVER; ctx.fillRect(c.x, c.y - 1, stripW - 1, cellH + 2); }
    }
    // Slow paths and suspect classes framed up to a number that still reads;
    // the lists below name them all.
    const FRAMED = 200;
    let framed = 0;
    for (const [s, i] of D.slow) {
      if (stageSel.key !== 'all' && stageSel.key !== s) continue;
      if (++framed > FRAMED) break;
      ctx.strokeStyle = SLOW;
      ctx.lineWidth = 1;
      for (const d of pathOf(s, i)) { const c = d >= 0 && cellOf(d); if (c) ctx.strokeRect(c.x - 1, c.y - 1, stripW + 1, cellH + 1); }
    }
    ctx.font = 'bold 12px sans-serif';
    ctx.lineWidth = 1.5;
    for (const [d, k] of suspectOf) {
      const c = cellOf(d);
      if (!c || k > FRAMED / 4) continue;
      ctx.strokeStyle = '#111';
      ctx.strokeRect(c.x - 4, c.y - 4, stripW + 7, cellH + 7);
      if (D.suspects[k - 1][0] !== d) continue;  // the class's other links framed only
      ctx.fillStyle = '#fff'; ctx.fillRect(c.x + stripW + 4, c.y - 8, 7 * String(k).length + 3, 14);
      ctx.fillStyle = '#111'; ctx.fillText(String(k), c.x + stripW + 6, c.y + 3);
    }
    el('div', { class: 'note' }, fabricDiv,
      plural(nodes.length, 'node', 'nodes') + ' are too many to draw one by one: each switch is a column of its ports\' ' +
      'loads (port 1 on top), each tier grouped by pod, lines bundle the links between groups (coloured by ' +
      'their highest load), hosts hang under their leaf. Ports above the limit are framed in vermillion and named below.');
    canvas.addEventListener('mousemove', e => {
      const r = canvas.getBoundingClientRect(), x = e.clientX - r.left, y = e.clientY - r.top;
      for (const [n, p] of at)
        if (x >= p.x && x < p.x + Math.max(stripW, 1) && y >= p.y && y < p.y + stripH) {
          const d = dirsOf[n].find(q => egressPort(q) === Math.floor((y - p.y) / cellH) + 1);
          showTip(e, d === undefined ? switchText(n) : switchText(n) + '\n\n' + dirText(d));
          return;
        }
      tip.style.display = 'none';
    });
  }

  // --- hover -----------------------------------------------------------
  function dirText(d) {
    const c = cables[d >> 1];
    let t = dirName(d) + '\n' + rateText(c) + (c[6] ? ', DEGRADED (below the usual rate)' : '');
    for (const s of stagesShown()) {
      const load = stages[s].loads[d];
      t += '\nstage ' + R.stages[s].stage + ': load ' + load + (load > LIMIT ? ' (above ' + LIMIT + ')' : '');
      if (stageSel.key !== 'all') {
        const ps = pairsCrossing(s, d);
        for (const i of ps.slice(0, 12)) t += '\n  ' + pairText(s, i);
        if (ps.length > 12) t += '\n  ... ' + (ps.length - 12) + ' more';
      }
    }
    if (suspectOf.has(d)) t += '\nsuspect ' + suspectOf.get(d);
    return t;
  }
  function switchText(n) {
    const loads = currentLoads();
    let max = 0, cabled = 0;
    const over = [];
    for (const d of dirsOf[n]) { ++cabled; max = Math.max(max, loads[d]); if (loads[d] > LIMIT) over.push(d); }
    let t = nodes[n][0] + '\n' + (isSwitch(n) ? (nodes[n][1] < 0 ? 'no host reaches it' : 'tier ' + nodes[n][1]) : 'host') +
      ', ' + plural(cabled, 'cabled port', 'cabled ports') + ', highest load ' + max;
    for (const d of over.slice(0, 16)) t += '\n  over: ' + dirName(d) + ' (' + loads[d] + ')';
    return t;
  }
  function showTip(e, text) {
    tip.textContent = text;
    tip.style.display = 'block';
    tip.style.left = Math.min(e.clientX + 14, window.innerWidth - 540) + 'px';
    tip.style.top = (e.clientY + 14) + 'px';
  }
  function hover(e) {
    const t = e.target.closest('[data-d],[data-n]');
    if (!t) { tip.style.display = 'none'; return; }
    showTip(e, t.hasAttribute('data-d') ? dirText(+t.getAttribute('data-d')) : switchText(+t.getAttribute('data-n')));
  }

  // --- lists: over the limit, suspects, slow pairs, degraded -----------------
  function drawLists() {
    lists.textContent = '';
    const loads = currentLoads();
    const over = [];
    for (let d = 0; d < nDirs; ++d) if (loads[d] > LIMIT) over.push(d);
    over.sort((a, b) => loads[b] - loads[a] || a - b);
    const p1 = el('div', { class: 'panel' }, lists);
    el('h3', {}, p1, 'Ports above the limit (' + over.length + ')' + (stageSel.key === 'all' ? ', in some stage' : ''));
    if (!over.length) el('div', { class: 'note' }, p1, 'none');
    const ol = el('ul', { class: 'names' }, p1);
    const SHOWN = 5000;
    for (const d of over.slice(0, SHOWN)) el('li', { class: 'over-port', 'data-port': portName(egressNode(d), egressPort(d)) }, ol, loads[d] + '  ' + dirName(d));
    if (over.length > SHOWN) el('div', { class: 'note' }, p1, '... and ' + (over.length - SHOWN) + ' more');

    if (R.results) {
      const res = R.results;
      const p2 = el('div', { class: 'panel' }, lists);
      el('h3', {}, p2, 'Suspects (' + res.suspects.length + ')');
      if (!res.suspects.length) el('div', { class: 'note' }, p2, 'none');
      const sl = el('ol', { class: 'names' }, p2);
      res.suspects.forEach(s => {
        const li = el('li', { class: 'suspect', 'data-port': s.port }, sl,
          s.port + ' -> ' + s.remote + ': ' + plural(s.slow_pairs, 'slow pair', 'slow pairs') + ', ' +
          plural(s.fast_pairs, 'fast pair', 'fast pairs') + ', explains ' + s.explains);
        if (s.indistinguishable_from.length)
          el('div', { class: 'note' }, li, (s.cable ? 'the cable, with ' : 'one of a class with ') +
            s.indistinguishable_from.map(t => t.port + ' -> ' + t.remote).join('; ') +
            (s.separable ? ': more tests would separate them (--follow-up)' : ''));
        s.inseparable.forEach(g => el('div', { class: 'note' }, li, 'no test on these routes can separate ' +
          g.map(t => t.port + ' -> ' + t.remote).join('; ') + ': the ports\' error counters (perfquery) can'));
      });
      const p3 = el('div', { class: 'panel' }, lists);
      el('h3', {}, p3, 'Slow pairs (' + res.slow_pairs.length + ')');
      const tb = el('table', {}, p3);
      const hr = el('tr', {}, tb);
      for (const h of ['stage', 'source', 'destination', 'value', 'slow below', 'explained']) el('th', {}, hr, h);
      for (const sp of res.slow_pairs.slice(0, 500)) {
        const tr = el('tr', { class: 'slow-pair' }, tb);
        for (const v of [sp.stage, sp.src, sp.dst, fmt(sp.value), fmt(sp.slow_below), sp.explained ? 'yes' : 'no']) el('td', {}, tr, String(v));
      }
      if (res.slow_pairs.length > 500) el('div', { class: 'note' }, p3, '... and ' + (res.slow_pairs.length - 500) + ' more');
    }
    const g = R.degraded;
    const p4 = el('div', { class: 'panel' }, lists);
    el('h3', {}, p4, 'Degraded links (' + g.links.length + ')');
    if (!g.width_recorded && !g.speed_recorded) el('div', { class: 'note' }, p4, 'the topology records no link width or speed');
    const dl = el('ul', { class: 'names' }, p4);
    for (const l of g.links) el('li', { class: 'degraded' }, dl, l.port + ' - ' + l.remote + ' (' + l.kind + '): ' + (l.width || '?') + 'x ' + (SPEEDS[l.speed] || l.speed || '?'));
  }

  // --- small charts --------------------------------------------------------
  function barChart(parent, title, items, opts) {
    const p = el('div', { class: 'panel chart' }, parent);
    el('h3', {}, p, title);
    if (!items.length) { el('div', { class: 'note' }, p, 'none'); return; }
    const bw = Math.max(6, Math.min(40, Math.floor(320 / items.length))), h = 110, top = 24;
    const W = 40 + items.length * bw, max = Math.max(1, ...items.map(i => i.value));
    const s = svg('svg', { width: Math.max(W + 10, 170), height: top + h + 34 }, p);
    items.forEach((it, i) => {
      // A bar of one among thousands still shows.
      const bh = it.value ? Math.max(2, Math.round(it.value / max * h)) : 0, x = 36 + i * bw;
      svg('rect', { class: 'bar-rect' + (it.cls ? ' ' + it.cls : ''), x, y: top + h - bh, width: bw - 1, height: bh }, s);
      if (items.length <= 24) svg('text', { x: x + bw / 2, y: top + h + 12, 'text-anchor': 'middle' }, s, it.label);
      if (items.length <= 16 && it.value) svg('text', { x: x + bw / 2, y: top + h - bh - 2, 'text-anchor': 'middle' }, s, String(it.value));
    });
    svg('text', { x: 0, y: top + 6 }, s, String(max));
    svg('text', { x: 0, y: top + h }, s, '0');
    if (opts && opts.axis) svg('text', { x: 36, y: top + h + 28 }, s, opts.axis);
    if (opts && opts.markAt !== undefined) {
      const x = 36 + opts.markAt * bw;
      svg('line', { class: 'limit', x1: x, y1: 4, x2: x, y2: top + h }, s);
      const left = x > W - 60;
      svg('text', { x: left ? x - 3 : x + 3, y: 10, 'text-anchor': left ? 'end' : 'start' }, s, opts.markLabel);
    }
  }

  function drawStagePanel() {
    stagePanel.textContent = '';
    if (stageSel.key === 'all') {
      const loads = currentLoads();
      let crossed = 0;
      for (let d = 0; d < nDirs; ++d) crossed += loads[d] > 0;
      const p = el('div', { class: 'panel' }, stagePanel);
      el('h3', {}, p, 'All stages');
      el('div', {}, p, 'directed links crossed by some pair: ' + crossed + ' of ' + nDirs +
        (nDirs ? ' (' + (100 * crossed / nDirs).toFixed(1) + '%)' : '') + '; grey links no stage crosses');
      barChart(stagePanel, 'Pairs per stage', R.stages.map(s => ({ label: String(s.stage), value: s.pairs, cls: s.holds ? '' : 'over' })), { axis: 'stage' });
    } else {
      const st = R.stages[stageSel.key];
      const p = el('div', { class: 'panel' }, stagePanel);
      el('h3', {}, p, 'Stage ' + st.stage);
      el('div', {}, p, plural(st.pairs, 'pair', 'pairs') + ', ' + plural(st.sources, 'source', 'sources') + ', ' +
        plural(st.destinations, 'destination', 'destinations') + ': ' + (st.holds ? 'holds' : 'FAILS'));
      el('div', {}, p, 'highest load ' + st.max_load + ', ' + st.ports_over_limit + ' switch ports above ' + LIMIT +
        '; broken paths: ' + st.broken.length);
      for (const [k, name] of [['repeated_sources', 'sending'], ['repeated_destinations', 'receiving']])
        if (st[k].length) el('div', { class: 'fails' }, p, 'hosts ' + name + ' more than once: ' + st[k].map(h => h.port + ' (' + h.times + ')').join(', '));
      barChart(stagePanel, 'Path lengths (links)', st.path_lengths.map(l => ({ label: String(l.links), value: l.pairs })), { axis: 'links per path' });
      const lh = st.load_histogram.map(l => ({ label: String(l.load), value: l.ports, cls: l.load > LIMIT ? 'over' : '' }));
      const mark = lh.findIndex(i => +i.label > LIMIT);
      barChart(stagePanel, 'Switch port loads', lh, { axis: 'pairs per port', markAt: mark >= 0 ? mark : undefined, markLabel: '-n ' + LIMIT });
    }
    if (R.results) drawResults();
  }

  function drawResults() {
    const shown = stagesShown();
    const values = [];
    for (const s of shown) for (const v of stages[s].values || []) if (v !== null) values.push(v);
    const thresholds = shown.map(s => R.results.stages[s].slow_below);
    const max = Math.max(1e-9, ...values, ...thresholds);
    const BINS = 20, counts = new Array(BINS).fill(0);
    for (const v of values) counts[Math.min(BINS - 1, Math.floor(v / max * BINS))] += 1;
    const items = counts.map((c, i) => ({ label: i % 5 === 0 ? fmt(i * max / BINS) : '', value: c,
      cls: (i + 1) * max / BINS <= Math.min(...thresholds) ? 'slow' : '' }));
    const t = shown.length === 1 ? thresholds[0] : Math.min(...thresholds);
    barChart(stagePanel, 'Bandwidth (' + values.length + ' measured)', items,
      { axis: 'bandwidth', markAt: t / max * BINS, markLabel: 'slow below ' + fmt(t) });

    // Leaf x leaf: the lowest bandwidth of the pairs from one leaf's hosts to another's.
    const leaves = tiers[1], idx = new Map();
    leaves.forEach((l, i) => idx.set(l, i));
    const n = leaves.length, low = new Float64Array(n * n).fill(NaN);
    let vmin = Infinity, vmax = -Infinity;
    for (const s of shown) {
      const pr = stages[s].pairs, vs = stages[s].values || [];
      for (let i = 0; i < vs.length; ++i) {
        if (vs[i] === null) continue;
        const a = idx.get(nodes[pr[2 * i]][2]), b = idx.get(nodes[pr[2 * i + 1]][2]);
        if (a === undefined || b === undefined) continue;
        const k = a * n + b;
        if (!(low[k] <= vs[i])) low[k] = vs[i];
        vmin = Math.min(vmin, vs[i]); vmax = Math.max(vmax, vs[i]);
      }
    }
    const p = el('div', { class: 'panel chart' }, stagePanel);
    el('h3', {}, p, 'Leaf \u00d7 leaf: lowest bandwidth, source leaf down, destination leaf across');
    const cell = Math.max(1, Math.min(24, Math.floor(360 / Math.max(1, n))));
    const pad = n <= 40 ? 60 : 0;
    const cv = el('canvas', { width: pad + n * cell + 2, height: pad + n * cell + 2, class: 'matrix' }, p);
    const ctx = cv.getContext('2d');
    const labels = shortNames(leaves);
    ctx.font = '10px sans-serif';
    ctx.fillStyle = '#444';
    if (pad) labels.forEach((l, i) => {
      ctx.fillText(fit(l, pad - 4), 0, pad + i * cell + cell / 2 + 3);
      ctx.save(); ctx.translate(pad + i * cell + cell / 2 + 3, pad - 3); ctx.rotate(-Math.PI / 2); ctx.fillText(fit(l, pad - 4), 0, 0); ctx.restore();
    });
    // The empty cells in one go, then only the cells that have pairs.
    const gap = cell > 3 ? 1 : 0;
    ctx.fillStyle = '#f4f4f4';
    if (gap) { for (let a = 0; a < n; ++a) for (let b = 0; b < n; ++b) ctx.fillRect(pad + b * cell, pad + a * cell, cell - 1, cell - 1); }
    else ctx.fillRect(pad, pad, n * cell, n * cell);
    for (let k = 0; k < n * n; ++k) {
      const v = low[k];
      if (isNaN(v)) continue;
      ctx.fillStyle = viridis(vmax > vmin ? (v - vmin) / (vmax - vmin) : 1);
      ctx.fillRect(pad + (k % n) * cell, pad + Math.floor(k / n) * cell, cell - gap, cell - gap);
    }
    const lg = el('div', { class: 'legend' }, p);
    for (const [t2, txt] of [[0, 'low ' + fmt(vmin)], [0.5, ''], [1, 'high ' + fmt(vmax)]]) {
      const s = el('span', {}, lg);
      el('span', { class: 'box', style: 'background:' + viridis(t2) }, s);
      s.appendChild(document.createTextNode(txt));
    }
    const s = el('span', {}, lg);
    el('span', { class: 'box', style: 'background:#f4f4f4;border:1px solid #ccc' }, s);
    s.appendChild(document.createTextNode('no pair'));
  }

  // --- all together ---------------------------------------------------------
  function render() {
    if (D.view === 'full') drawFull(); else drawAggregate();
    drawLists();
    drawStagePanel();
    let done = document.getElementById('rendered');
    if (!done) done = el('div', { id: 'rendered', hidden: '' }, document.body);
    done.setAttribute('data-stage', String(stageSel.key));
    // Milliseconds from the start of loading to the page drawn.
    done.setAttribute('data-ms', String(Math.round(performance.now())));
  }
  select.addEventListener('change', () => {
    stageSel.key = select.value === 'all' ? 'all' : +select.value;
    render();
  });
  stageSel.key = defaultStage();
  select.value = String(stageSel.key);
  render();
})();
