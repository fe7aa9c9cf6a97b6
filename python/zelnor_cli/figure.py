"""The PNG summary figure, drawn with matplotlib when it is installed."""
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
        limits = _extremes(data, mask if inside else None)
        data = data[::step, ::step]
        return (np.ma.masked_where(~shown_mask, data) if inside else data), limits

    unit = report["units"]
    # A Figure of its own, not pyplot's: no global state, no GUI backend chosen for the caller.
    fig = Figure(figsize=(13, 8.5))
    # A fixed layout with room for colour bar labels of seven characters: measuring the labels
    # (tight_layout) cost more than drawing the whole figure once.
    axes = fig.subplots(2, 3, gridspec_kw=LAYOUT)
    panels = [
        (images["frames"][0], "frame 0", "gray", False),
        (images["wrapped"], "wrapped phase [rad]", "twilight", True),
        (images["surface"], f"surface [{unit}]", "viridis", True),
        (images["residual"], f"residual [{unit}]", "RdBu_r", True),
    ]
    for ax, (data, title, cmap, inside) in zip(axes.flat, panels):
        data, (low, high) = panel(np.asarray(data), inside)
        shown = ax.imshow(data, cmap=cmap, interpolation="nearest", vmin=low, vmax=high)
        ax.set_title(title)
        ax.set_xticks([])
        ax.set_yticks([])
        fig.colorbar(shown, ax=ax, shrink=0.8)
    bars = axes.flat[4]
    rows = report["coefficients"][1:]
    index = np.array([row["fringe"] for row in rows])
    bars.bar(index - 0.2, [row["recovered"] for row in rows], width=0.4, label="recovered")
    if "true" in rows[0]:
        bars.bar(index + 0.2, [row["true"] for row in rows], width=0.4, label="true")
    bars.axhline(0.0, color="black", linewidth=0.5)
    bars.set_xlabel("Fringe index")
    bars.set_title(f"Zernike coefficients [{unit}]")
    bars.legend()
    axes.flat[5].axis("off")
    text = [f"{report['command']}: {report['frames']} frames, {report['unwrapper']}",
            f"pupil {report['pupil']}, {report['pupil_pixels']} pixels",
            f"surface PV {report['surface']['pv']:.3f}, RMS {report['surface']['rms']:.3f} {unit}",
            f"residual PV {report['residual']['pv']:.2e}, RMS {report['residual']['rms']:.2e} {unit}"]
    axes.flat[5].text(0.0, 0.5, "\n".join(text), fontsize=11, va="center")
    if replacing is None:
        fig.savefig(path, dpi=80, format="png")
    else:
        with replacing(path) as temporary:
            fig.savefig(temporary, dpi=80, format="png")
    return None
