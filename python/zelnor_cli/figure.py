"""The PNG summary figure, drawn with matplotlib when it is installed."""
import threading

import numpy as np


# Image pixels drawn per side of a panel, at most.
DISPLAY_PIXELS = 512
# Margins and gaps between panels, as fractions of the figure.
LAYOUT = {"left": 0.02, "right": 0.97, "bottom": 0.06, "top": 0.95, "wspace": 0.15, "hspace": 0.2}


def _extremes(data, mask=None):
    """(min, max) of the data, inside the mask when given; (None, None) when there is nothing or
    nothing finite, so that matplotlib picks its own."""
    floating = np.issubdtype(data.dtype, np.floating)
    where = np.isfinite(data) if floating else np.ones(data.shape, bool)
    if mask is not None:
        where &= mask
    if not where.any():
        return None, None
    info = np.finfo(data.dtype) if floating else np.iinfo(data.dtype)
    return (float(np.min(data, where=where, initial=info.max)), float(np.max(data, where=where, initial=info.min)))


class _Sheet:
    """The figure's artists, built once per thread and filled anew for each measurement: building
    the ten axes costs about a quarter of drawing the figure, which a batch would pay every time."""

    PANELS = (("frame 0", "gray"), ("wrapped phase [rad]", "twilight"),
              ("surface [{unit}]", "viridis"), ("residual [{unit}]", "RdBu_r"))

    def __init__(self, figure_class):
        # A Figure of its own, not pyplot's: no global state, no GUI backend chosen for the caller.
        self.figure = figure_class(figsize=(13, 8.5))
        # A fixed layout with room for colour bar labels of seven characters: measuring the labels
        # (tight_layout) cost more than drawing the whole figure once.
        axes = self.figure.subplots(2, 3, gridspec_kw=LAYOUT)
        self.images = []
        for ax, (_, cmap) in zip(axes.flat, self.PANELS):
            image = ax.imshow(np.zeros((1, 1)), cmap=cmap, interpolation="nearest", vmin=0.0, vmax=1.0)
            ax.set_xticks([])
            ax.set_yticks([])
            self.figure.colorbar(image, ax=ax, shrink=0.8)
            self.images.append(image)
        self.bars = axes.flat[4]
        axes.flat[5].axis("off")
        # Plain text: a mask's file name may hold "$", which matplotlib would read as mathematics.
        self.text = axes.flat[5].text(0.0, 0.5, "", fontsize=11, va="center", parse_math=False)

    def fill(self, panels, report):
        unit = report["units"]
        for image, (title, _), (data, (low, high)) in zip(self.images, self.PANELS, panels):
            image.set_data(data)
            height, width = data.shape
            image.set_extent((-0.5, width - 0.5, height - 0.5, -0.5))
            image.set_clim(*((0.0, 1.0) if low is None else (low, high)))  # (0, 1): nothing finite to show
            image.axes.set_title(title.format(unit=unit))
        # The bar chart is cheap to build: cleared and drawn anew, its limits and colours start afresh.
        bars = self.bars
        bars.clear()
        bars.relim()  # clear() leaves the last chart's data limits, which NaN bars or the line would keep
        rows = report["coefficients"][1:]
        index = np.array([row["fringe"] for row in rows])
        bars.bar(index - 0.2, [row["recovered"] for row in rows], width=0.4, label="recovered")
        if "true" in rows[0]:
            bars.bar(index + 0.2, [row["true"] for row in rows], width=0.4, label="true")
        bars.axhline(0.0, color="black", linewidth=0.5)
        bars.set_xlabel("Fringe index")
        bars.set_title(f"Zernike coefficients [{unit}]")
        bars.legend()
        self.text.set_text("\n".join([
            f"{report['command']}: {report['frames']} frames, {report['unwrapper']}",
            f"pupil {_shown(report['pupil'])}, {report['pupil_pixels']} pixels",
            f"surface PV {report['surface']['pv']:.3f}, RMS {report['surface']['rms']:.3f} {unit}",
            f"residual PV {report['residual']['pv']:.2e}, RMS {report['residual']['rms']:.2e} {unit}"]))


def _shown(text):
    """Text with the bytes of a file name that is not UTF-8 shown as backslash escapes (\\xff):
    matplotlib refuses the lone surrogates Python reads them into."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


# One sheet per thread: matplotlib's artists are not safe to share between threads.
_sheets = threading.local()


def write_figure(path, images, report, replacing=None):
    """Writes the figure (through `replacing(path)`, a context giving the name to write, when
    given); returns a one-line notice when matplotlib is missing, else None."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        return "matplotlib is not installed: figure.png skipped (pip install 'zelnor[figure]')"
    mask = images["mask"]
    # A panel is a few hundred pixels across: a larger image is drawn from every step-th pixel,
    # which is all the panel can show, instead of colouring millions of pixels; the colour scale
    # still spans the whole image.
    step = max(1, -(-max(mask.shape) // DISPLAY_PIXELS))
    shown_mask = mask[::step, ::step]

    def panel(data, inside):
        data = np.asarray(data)
        limits = _extremes(data, mask if inside else None)
        data = data[::step, ::step]
        return (np.ma.masked_where(~shown_mask, data) if inside else data), limits

    panels = [panel(images["frames"][0], False), panel(images["wrapped"], True),
              panel(images["surface"], True), panel(images["residual"], True)]
    sheet = getattr(_sheets, "sheet", None)
    if sheet is None:
        sheet = _sheets.sheet = _Sheet(Figure)
    sheet.fill(panels, report)
    if replacing is None:
        sheet.figure.savefig(path, dpi=80, format="png")
    else:
        with replacing(path) as temporary:
            sheet.figure.savefig(temporary, dpi=80, format="png")
    return None
