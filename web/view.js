// Drawing and viewing. A tile shows its texture's thumbnail, which the
// worker made: at 1x, or shrunk with each texel the average of those it
// covers, and drawn enlarged by a whole step where it is small. The open
// texture's view draws its pixels, as the tool decodes them, into one
// canvas the size of its place, only the part in view: at 1x and above
// texel for texel, below 1x each canvas pixel the average of the texels it
// covers, so that noise and fine patterns show as they are and not as
// moiré.
'use strict';

const kTallAtLeast = 96; // pixels of canvas, however little of the window is left below
const kFrame = 2; // the canvas's border, left and right, which its place must hold too
const kThumbnail = 112; // a tile's image, at most, in CSS pixels
const kZooms = [1 / 16, 1 / 8, 1 / 4, 1 / 2, 1, 2, 4, 8, 16, 32];

// The settings every drawing shares, from the page's controls.
function Settings() {
  return { show: document.getElementById('show').value, backdrop: document.getElementById('backdrop').value };
}

// The backdrop behind the colour at canvas pixel (x, y), by its kind.
function Backdrop(kind) {
  if (kind === 'checkerboard') {
    return (x, y) => (((x >> 3) ^ (y >> 3)) & 1 ? 255 : 191);
  }
  const grey = kind === 'black' ? 0 : 255;
  return () => grey;
}

// What the settings show of a pixel, as one function that writes the shown
// pixel at `o` of `out`: the colour, the alpha as grey, or the colour
// through its alpha over the backdrop. Chosen once a drawing, as it runs
// for every pixel drawn.
function Shader(settings) {
  if (settings.show === 'alpha') {
    return (out, o, r, g, b, a) => {
      out[o] = out[o + 1] = out[o + 2] = a;
      out[o + 3] = 255;
    };
  }
  if (settings.show === 'colour') {
    return (out, o, r, g, b) => {
      out[o] = r; out[o + 1] = g; out[o + 2] = b;
      out[o + 3] = 255;
    };
  }
  const Back = Backdrop(settings.backdrop);
  return (out, o, r, g, b, a, x, y) => {
    if (a === 255) {
      out[o] = r; out[o + 1] = g; out[o + 2] = b;
    } else { // the clamped array rounds to the nearest
      const back = Back(x, y) * (255 - a);
      out[o] = (r * a + back) / 255;
      out[o + 1] = (g * a + back) / 255;
      out[o + 2] = (b * a + back) / 255;
    }
    out[o + 3] = 255;
  };
}

// A tile's thumbnail into its canvas, which the page enlarges by whole
// steps without smoothing.
function DrawThumbnail(canvas, thumbnail) {
  const { width, height, rgba } = thumbnail;
  canvas.width = width;
  canvas.height = height;
  const step = Math.max(1, Math.floor(kThumbnail / Math.max(width, height)));
  canvas.style.width = `${width * step}px`;
  canvas.style.height = `${height * step}px`;
  const context = canvas.getContext('2d'), image = context.createImageData(width, height), Shade = Shader(Settings());
  const out = image.data; // read once: each read of it is a call into the browser
  for (let y = 0, o = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x, o += 4) {
      Shade(out, o, rgba[o], rgba[o + 1], rgba[o + 2], rgba[o + 3], x, y);
    }
  }
  context.putImageData(image, 0, 0);
}

// A view of `image` in `place`. Its centre is the texel position at the
// middle of the canvas; its zoom is 'fit' or a scale.
function NewView(place, image) {
  const canvas = Element('canvas', { tabIndex: 0, className: 'texels' });
  canvas.setAttribute('aria-label', 'The image: point at it, or use the arrow keys, to read a texel; + and - zoom');
  const readout = Element('p', { className: 'readout' }, 'Point at the image, or focus it and use the arrow keys, to read a texel.');
  readout.setAttribute('aria-live', 'polite');
  place.append(canvas, readout);
  const view = { place, canvas, readout, image, centre: [image.width / 2, image.height / 2],
    zoom: 'fit', scale: 1, focus: null, pointers: new Map(), drawings: 0 };
  ListenToView(view);
  return view;
}

// The scale 'fit' gives: the whole image in its place, enlarged by whole
// steps where it is small, shrunk where it is large.
function FitScale(view, room, tall) {
  const fit = Math.min(room / view.image.width, tall / view.image.height);
  return fit >= 1 ? Math.min(32, Math.floor(fit)) : fit;
}

// The height the canvas may take: what the window shows below the place's
// top, the card scrolled to its start, less the readout under the image,
// so that a fitted image and its readout show whole without scrolling.
function Tall(view) {
  const scroller = view.place.closest('#detail') || document.scrollingElement;
  const top = view.place.getBoundingClientRect().top + scroller.scrollTop;
  const readout = view.readout.getBoundingClientRect().height + 2 * parseFloat(getComputedStyle(view.readout).marginTop);
  return Math.max(kTallAtLeast, Math.floor(window.innerHeight - top - readout - 2 * kFrame));
}

// The scale and canvas size in the place as it is now.
function Fit(view) {
  const room = Math.max(1, view.place.clientWidth - kFrame);
  const tall = Tall(view);
  const { width, height } = view.image;
  const scale = view.zoom === 'fit' ? FitScale(view, room, tall) : view.zoom;
  return { scale, width: Math.max(1, Math.min(room, Math.round(width * scale))),
    height: Math.max(1, Math.min(tall, Math.round(height * scale))) };
}

// The texel position at the canvas's left and top edges, with the centre
// kept where the image still fills the canvas.
function Origin(view, fit) {
  const halves = [fit.width / (2 * fit.scale), fit.height / (2 * fit.scale)];
  const sizes = [view.image.width, view.image.height];
  view.centre = view.centre.map((c, i) => Math.min(Math.max(c, halves[i]), sizes[i] - halves[i]));
  return view.centre.map((c, i) => c - halves[i]);
}

// The texels one slice of a drawing averages at most: a few milliseconds'
// work, so that a large image shrunk to fit never holds the page's thread.
const kTexelsASlice = 1 << 20;

function Draw(view) {
  const Shade = Shader(Settings()), fit = Fit(view), [left, top] = Origin(view, fit);
  const { canvas, image } = view;
  if (canvas.width !== fit.width || canvas.height !== fit.height) {
    canvas.width = fit.width;
    canvas.height = fit.height;
  }
  view.scale = fit.scale;
  // Only an image larger than its view is dragged; a touch on any other
  // scrolls the page as usual.
  canvas.classList.toggle('pans', fit.width < Math.round(image.width * fit.scale) || fit.height < Math.round(image.height * fit.scale));
  view.origin = [left, top];
  const context = canvas.getContext('2d');
  if (!view.shown || view.shown.width !== fit.width || view.shown.height !== fit.height) {
    view.shown = context.createImageData(fit.width, fit.height);
  }
  const drawing = ++view.drawings, out = view.shown.data, texel = new Uint8Array(4);
  const columns = Spans(fit.width, left, fit.scale, image.width), rows = Spans(fit.height, top, fit.scale, image.height);
  const perRow = Math.max(1, Math.min(fit.width * Math.ceil(1 / fit.scale) ** 2, kTexelsASlice));
  const Slice = (from) => {
    if (drawing !== view.drawings) {
      return; // a newer drawing took its place
    }
    const to = Math.min(fit.height, from + Math.max(1, Math.floor(kTexelsASlice / perRow)));
    for (let y = from, o = 4 * from * fit.width; y < to; ++y) {
      for (let x = 0; x < fit.width; ++x, o += 4) {
        Average(image, columns.first[x], columns.past[x], rows.first[y], rows.past[y], texel, 0);
        Shade(out, o, texel[0], texel[1], texel[2], texel[3], x, y);
      }
    }
    context.putImageData(view.shown, 0, 0, 0, from, fit.width, to - from);
    if (to < fit.height) {
      setTimeout(() => Slice(to));
    } else {
      MarkFocus(view, context);
      canvas.dataset.drawn = `${drawing}`;
    }
  };
  Slice(0);
}

// A frame around the focused texel, for keyboard users.
function MarkFocus(view, context) {
  if (!view.focus || document.activeElement !== view.canvas) {
    return;
  }
  const [x, y] = view.focus.map((f, i) => (f - view.origin[i]) * view.scale);
  const size = Math.max(view.scale, 3);
  context.strokeStyle = '#ff2fb0';
  context.lineWidth = 1;
  context.strokeRect(Math.floor(x) + 0.5, Math.floor(y) + 0.5, size, size);
}

// The values of one texel.
function Read(view, x, y) {
  const i = 4 * (y * view.image.width + x), p = view.image.rgba;
  view.readout.textContent = `x ${x}, y ${y}: R ${p[i]}, G ${p[i + 1]}, B ${p[i + 2]}, A ${p[i + 3]}`;
}

// The texel under canvas pixel (px, py).
function TexelUnder(view, px, py) {
  return [Within(Math.floor(view.origin[0] + px / view.scale), view.image.width),
    Within(Math.floor(view.origin[1] + py / view.scale), view.image.height)];
}

// Zooms to the next scale in `direction` (+1 in, -1 out) from the one
// shown, or to `scale`, keeping the texel at canvas pixel `at` where it is.
function Zoom(view, direction, at = [view.canvas.width / 2, view.canvas.height / 2], scale = null) {
  const held = at.map((p, i) => view.origin[i] + p / view.scale);
  const next = scale || (direction > 0 ? kZooms.find((z) => z > view.scale * 1.001) : [...kZooms].reverse().find((z) => z < view.scale / 1.001));
  if (!next || next === view.scale) {
    return;
  }
  view.zoom = next;
  view.centre = held.map((h, i) => h + ([view.canvas.width, view.canvas.height][i] / 2 - at[i]) / next);
  Draw(view);
  view.onzoom?.();
}

const kArrows = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };

// Moves the focused texel by a key, and the view so that it stays in sight;
// + and - zoom.
function Step(view, event) {
  if (event.key === '+' || event.key === '=' || event.key === '-') {
    event.preventDefault();
    Zoom(view, event.key === '-' ? -1 : 1);
    return;
  }
  const step = kArrows[event.key];
  if (!step) {
    return;
  }
  event.preventDefault();
  const sizes = [view.image.width, view.image.height], span = [view.canvas.width, view.canvas.height];
  const focus = view.focus || view.centre.map(Math.floor);
  view.focus = focus.map((f, i) => Within(f + step[i] * (event.shiftKey ? 10 : 1), sizes[i]));
  view.focus.forEach((f, i) => {
    const seen = span[i] / view.scale;
    if (f < view.origin[i] || f + 1 > view.origin[i] + seen) {
      view.centre[i] = f + 0.5;
    }
  });
  Draw(view);
  Read(view, ...view.focus);
}

// Where a pointer is on the canvas, inside its frame: offsetX is not
// measured alike in every browser.
function OnCanvas(view, event) {
  const box = view.canvas.getBoundingClientRect();
  return [event.clientX - box.left - view.canvas.clientLeft, event.clientY - box.top - view.canvas.clientTop];
}

// One pointer reads the texel under it and drags; two pinch to zoom. The
// wheel zooms at the pointer. Keys: see Step.
function ListenToView(view) {
  const { canvas } = view;
  canvas.addEventListener('pointerdown', (event) => {
    view.pointers.set(event.pointerId, { at: OnCanvas(view, event), centre: [...view.centre], scale: view.scale });
    canvas.setPointerCapture(event.pointerId);
  });
  canvas.addEventListener('pointermove', (event) => {
    const at = OnCanvas(view, event), down = view.pointers.get(event.pointerId);
    if (down && view.pointers.size === 2) {
      const [p, q] = [...view.pointers.values()], other = p === down ? q : p;
      const spread = (u, v) => Math.hypot(u[0] - v[0], u[1] - v[1]);
      const scale = down.scale * spread(at, other.at) / Math.max(1, spread(down.at, other.at));
      Zoom(view, 0, [(at[0] + other.at[0]) / 2, (at[1] + other.at[1]) / 2], scale >= 1 ? Math.round(scale) : scale);
    } else if (down) {
      view.centre = down.centre.map((c, i) => c - (at[i] - down.at[i]) / view.scale);
      Redraw(view);
    }
    Read(view, ...TexelUnder(view, ...at));
  });
  for (const end of ['pointerup', 'pointercancel']) {
    canvas.addEventListener(end, (event) => view.pointers.delete(event.pointerId));
  }
  canvas.addEventListener('wheel', (event) => {
    event.preventDefault();
    Zoom(view, event.deltaY < 0 ? 1 : -1, OnCanvas(view, event));
  }, { passive: false });
  canvas.addEventListener('keydown', (event) => Step(view, event));
  canvas.addEventListener('focus', () => Draw(view));
  canvas.addEventListener('blur', () => Draw(view));
}

// Draws at the next frame, once however many times it is asked.
function Redraw(view) {
  if (!view.pending) {
    view.pending = requestAnimationFrame(() => {
      view.pending = 0;
      Draw(view);
    });
  }
}
