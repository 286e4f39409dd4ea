// Drawing and viewing: each card's image is drawn straight from the tool's
// BMPs into one canvas the size of its place, at the zoom asked for or
// shrunk to fit, and only the part in view. So an image of any size the
// tool converts can be seen, from a fitted whole down to single texels,
// and no full-size copy of its pixels is ever made.
'use strict';

const kShownAtMost = 0.7; // of the window's height, so that the page stays scrollable
const kFrame = 2; // the canvas's border, left and right, which its place must hold too

// The settings every view shares, from the page's controls.
function Settings() {
  const zoom = document.getElementById('zoom').value;
  return { zoom: zoom === 'fit' ? 'fit' : Number(zoom), show: document.getElementById('show').value,
    backdrop: document.getElementById('backdrop').value };
}

// A view of `colour` (and `alpha`, when it comes) in `place`. Its centre is
// the texel position at the middle of the canvas.
function NewView(place, colour) {
  const canvas = Element('canvas', { tabIndex: 0, className: 'texels' });
  canvas.setAttribute('aria-label', 'The image: point at it, or use the arrow keys, to read a texel');
  const readout = Element('p', { className: 'readout' }, 'Point at the image, or focus it and use the arrow keys, to read a texel.');
  readout.setAttribute('aria-live', 'polite');
  place.append(canvas, readout);
  const view = { place, canvas, readout, colour, alpha: null, centre: [colour.width / 2, colour.height / 2],
    scale: 1, focus: null, drag: null };
  ListenToView(view);
  return view;
}

// The scale and canvas size the settings give in the place as it is now.
function Fit(view, settings) {
  const room = Math.max(1, view.place.clientWidth - kFrame);
  const tall = Math.max(160, Math.floor(window.innerHeight * kShownAtMost));
  const { width, height } = view.colour;
  const scale = settings.zoom === 'fit' ? Math.min(1, room / width, tall / height) : settings.zoom;
  return { scale, width: Math.max(1, Math.min(room, Math.round(width * scale))),
    height: Math.max(1, Math.min(tall, Math.round(height * scale))) };
}

// The texel position at the canvas's left and top edges, with the centre
// kept where the image still fills the canvas.
function Origin(view, fit) {
  const halves = [fit.width / (2 * fit.scale), fit.height / (2 * fit.scale)];
  const sizes = [view.colour.width, view.colour.height];
  view.centre = view.centre.map((c, i) => Math.min(Math.max(c, halves[i]), sizes[i] - halves[i]));
  return view.centre.map((c, i) => c - halves[i]);
}

function Within(texel, size) {
  return Math.min(Math.max(texel, 0), size - 1);
}

// The backdrop behind the colour at canvas pixel (x, y).
function Backdrop(kind, x, y) {
  if (kind !== 'checkerboard') {
    return kind === 'black' ? 0 : 255;
  }
  return ((x >> 3) ^ (y >> 3)) & 1 ? 255 : 191;
}

function Draw(view) {
  const settings = Settings(), fit = Fit(view, settings), [left, top] = Origin(view, fit);
  const { canvas, colour } = view;
  const alpha = view.alpha || colour;
  if (canvas.width !== fit.width || canvas.height !== fit.height) {
    canvas.width = fit.width;
    canvas.height = fit.height;
  }
  view.scale = fit.scale;
  // Only an image larger than its view is dragged; a touch on any other
  // scrolls the page as usual.
  canvas.classList.toggle('pans', fit.width < Math.round(colour.width * fit.scale) || fit.height < Math.round(colour.height * fit.scale));
  view.origin = [left, top];
  const context = canvas.getContext('2d');
  if (!view.image || view.image.width !== fit.width || view.image.height !== fit.height) {
    view.image = context.createImageData(fit.width, fit.height);
  }
  const { image } = view, out = image.data;
  const columns = Int32Array.from({ length: fit.width }, (_, x) => Within(Math.floor(left + (x + 0.5) / fit.scale), colour.width));
  const c = colour.bytes, a = alpha.bytes, opaque = !view.alpha;
  for (let y = 0, o = 0; y < fit.height; ++y) {
    const row = Within(Math.floor(top + (y + 0.5) / fit.scale), colour.height);
    const from = TexelAt(colour, 0, row), alphaFrom = TexelAt(alpha, 0, row);
    for (let x = 0; x < fit.width; ++x, o += 4) {
      const i = from + 3 * columns[x], value = opaque ? 255 : a[alphaFrom + 3 * columns[x]];
      if (settings.show === 'alpha') {
        out[o] = out[o + 1] = out[o + 2] = value;
      } else if (settings.show === 'colour' || value === 255) {
        out[o] = c[i + 2]; out[o + 1] = c[i + 1]; out[o + 2] = c[i];
      } else { // the clamped array rounds to the nearest
        const back = Backdrop(settings.backdrop, x, y) * (255 - value);
        out[o] = (c[i + 2] * value + back) / 255;
        out[o + 1] = (c[i + 1] * value + back) / 255;
        out[o + 2] = (c[i] * value + back) / 255;
      }
      out[o + 3] = 255;
    }
  }
  context.putImageData(image, 0, 0);
  MarkFocus(view, context);
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

// The values of one texel: R, G and B from the colour BMP, A from the
// alpha BMP.
function Read(view, x, y) {
  const i = TexelAt(view.colour, x, y), c = view.colour.bytes;
  const a = view.alpha ? view.alpha.bytes[TexelAt(view.alpha, x, y)] : '…';
  view.readout.textContent = `x ${x}, y ${y}: R ${c[i + 2]}, G ${c[i + 1]}, B ${c[i]}, A ${a}`;
}

// The texel under canvas pixel (px, py).
function TexelUnder(view, px, py) {
  return [Within(Math.floor(view.origin[0] + px / view.scale), view.colour.width),
    Within(Math.floor(view.origin[1] + py / view.scale), view.colour.height)];
}

const kArrows = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };

// Moves the focused texel by a key, and the view so that it stays in sight.
function Step(view, event) {
  const step = kArrows[event.key];
  if (!step) {
    return;
  }
  event.preventDefault();
  const sizes = [view.colour.width, view.colour.height], span = [view.canvas.width, view.canvas.height];
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

// Pointer: reads the texel under it; dragging pans. Keys: see Step.
function ListenToView(view) {
  const { canvas } = view;
  canvas.addEventListener('pointerdown', (event) => {
    view.drag = { x: event.clientX, y: event.clientY, centre: [...view.centre] };
    canvas.setPointerCapture(event.pointerId);
  });
  canvas.addEventListener('pointermove', (event) => {
    if (view.drag && view.colour) {
      const moved = [event.clientX - view.drag.x, event.clientY - view.drag.y];
      view.centre = view.drag.centre.map((c, i) => c - moved[i] / view.scale);
      Redraw(view);
    }
    if (view.colour) {
      // From the canvas's own corner, inside its frame: offsetX is not
      // measured alike in every browser.
      const box = canvas.getBoundingClientRect();
      Read(view, ...TexelUnder(view, event.clientX - box.left - canvas.clientLeft, event.clientY - box.top - canvas.clientTop));
    }
  });
  for (const end of ['pointerup', 'pointercancel']) {
    canvas.addEventListener(end, () => { view.drag = null; });
  }
  canvas.addEventListener('keydown', (event) => view.colour && Step(view, event));
  canvas.addEventListener('focus', () => view.colour && Draw(view));
  canvas.addEventListener('blur', () => view.colour && Draw(view));
}

// Draws at the next frame, once however many times it is asked.
function Redraw(view) {
  if (!view.pending) {
    view.pending = requestAnimationFrame(() => {
      view.pending = 0;
      if (view.colour) {
        Draw(view);
      }
    });
  }
}
