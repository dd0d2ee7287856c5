"""Pictures of a search: the image with the streaks, the score map, the running sums and the
brightness along each streak.

Needs matplotlib (the extra ``kestrova[plot]``).
"""

from __future__ import annotations

import numpy as np

from .photometry import light_curve

__all__ = ["plot_streaks", "display_limits"]

# Lines that verification refused: apart from the streaks' colours, visible on a grey image.
REFUSED_COLOUR = "#fdd835"
COLOURS = ["#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#17becf", "#e377c2", "#bcbd22",
           "#1f77b4"]


def display_limits(image: np.ndarray, sigma: float, background: float):
    """Limits for an asinh stretch: from 2 sigma below the sky to the 99.7th percentile (at
    least 10 sigma above the sky), so that the noise is visible and stars are not burnt out.

    Examples
    --------
    >>> lo, hi = display_limits(np.random.default_rng(0).normal(0, 1, (50, 50)), 1.0, 0.0)
    >>> lo, hi >= 10.0
    (-2.0, True)
    """
    finite = image[np.isfinite(image)]
    top = np.percentile(finite[:: max(1, finite.size // 200_000)], 99.7) if finite.size else 1.0
    return background - 2.0 * sigma, max(float(top), background + 10.0 * sigma)


def _stretch(image, sigma, background):
    lo, hi = display_limits(image, sigma, background)
    soft = 3.0 * sigma  # linear within a few sigma of the sky, logarithmic above
    scaled = np.arcsinh((np.clip(np.nan_to_num(image, nan=lo), lo, hi) - lo) / soft)
    return scaled / np.arcsinh((hi - lo) / soft)


def plot_streaks(image, catalog, path=None, *, truth=(), title=None, max_profiles: int = 4,
                 chunks: int = 20, refused: bool = False):
    """Draw the image with the numbered streaks, the coarse score map with the detections,
    and for each streak the running sum along its line with the fitted ramp, and its
    brightness along the streak in `chunks` stretches (:func:`kestrova.photometry.light_curve`).

    Parameters
    ----------
    image : ndarray
        The image searched.
    catalog : StreakCatalog
        The result of :func:`kestrova.find_streaks` on `image`.
    path : str or Path, optional
        Where to save the figure (PNG); the figure is returned either way.
    truth : sequence, optional
        Known streaks (objects with ``x0, y0, x1, y1``), drawn dashed.
    refused : bool
        Also draw the lines that verification refused (``catalog.refused``), dotted, each
        with its reason.

    Examples
    --------
    >>> from kestrova import find_streaks
    >>> image = np.random.default_rng(0).normal(size=(60, 80))
    >>> figure = plot_streaks(image, find_streaks(image))
    >>> len(figure.axes) >= 2
    True
    """
    import matplotlib

    if path is not None:
        matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt

    image = np.asarray(image, dtype=float)
    ny, nx = image.shape
    streaks = list(catalog)[:len(COLOURS)]
    n_prof = min(len(streaks), max_profiles)
    aspect = ny / nx
    fig = plt.figure(figsize=(13.0, 5.6 * min(max(aspect, 0.55), 1.3) + (5.0 if n_prof else 0.3)),
                     layout="constrained")
    outer = fig.add_gridspec(3 if n_prof else 1, 1,
                             height_ratios=[2.2, 1.0, 1.0] if n_prof else None)
    top = outer[0].subgridspec(1, 2, width_ratios=[1.75, 1.0])
    ax_img = fig.add_subplot(top[0])
    ax_map = fig.add_subplot(top[1])

    background = catalog.background
    ax_img.imshow(_stretch(image, catalog.sigma, background), cmap="gray", origin="lower",
                  interpolation="nearest", vmin=0.0, vmax=1.0)
    for t in truth:
        ax_img.plot([t.x0, t.x1], [t.y0, t.y1], color="#4fc3f7", lw=1.2, ls=(0, (4, 3)),
                    label="truth", zorder=5)
    for r in catalog.refused if refused else ():
        s = r.streak
        ax_img.plot([s.x_start, s.x_end], [s.y_start, s.y_end], color=REFUSED_COLOUR, lw=1.0,
                    ls=":", label="refused", zorder=4)
        x, y = _inside(0.5 * (s.x_start + s.x_end), 0.5 * (s.y_start + s.y_end), nx, ny)
        ax_img.text(x, y, r.reason, color=REFUSED_COLOUR, fontsize=7, ha="center",
                    va="bottom", zorder=4)
    for i, s in enumerate(streaks):
        colour = COLOURS[i]
        ax_img.plot([s.x_start, s.x_end], [s.y_start, s.y_end], color=colour, lw=3.5,
                    alpha=0.45, solid_capstyle="butt")
        ax_img.plot([s.x_start, s.x_end], [s.y_start, s.y_end], "o", ms=4, color=colour)
        _label(ax_img, s, str(i + 1), colour, nx, ny)
    ax_img.set_xlim(-0.5, nx - 0.5)
    ax_img.set_ylim(-0.5, ny - 0.5)
    ax_img.set_xlabel("column")
    ax_img.set_ylabel("row")
    ax_img.set_title(title or f"{len(catalog)} streak{'s' if len(catalog) != 1 else ''} "
                     f"(sigma {catalog.sigma:.3g})", loc="left")
    handles, labels = ax_img.get_legend_handles_labels()
    if handles:
        first = {}  # one entry per kind of line drawn
        for handle, label in zip(handles, labels):
            first.setdefault(label, handle)
        ax_img.legend(first.values(), first.keys(), loc="upper right", fontsize=8,
                      framealpha=0.6)

    _plot_map(ax_map, catalog, streaks)
    sums = outer[1].subgridspec(1, n_prof) if n_prof else None
    curves = outer[2].subgridspec(1, n_prof) if n_prof else None
    for i, s in enumerate(streaks[:n_prof]):
        _plot_running_sum(fig.add_subplot(sums[i]), s, catalog.records[i], COLOURS[i], i + 1)
        _plot_light_curve(fig.add_subplot(curves[i]), s, catalog.records[i], COLOURS[i], i + 1,
                          chunks)
    if path is not None:
        fig.savefig(path, dpi=110)
    return fig


def _label(ax, s, text, colour, nx, ny):
    """Number a streak beside its start, pushed off the line and kept inside the frame."""
    ux, uy = np.cos(s.theta), np.sin(s.theta)
    scale = 0.035 * max(nx, ny)
    x = s.x_start + 0.6 * scale * ux + scale * uy
    y = s.y_start + 0.6 * scale * uy - scale * ux
    x, y = _inside(x, y, nx, ny)
    ax.text(x, y, text, color="white", fontsize=10, fontweight="bold", ha="center",
            va="center", bbox=dict(boxstyle="circle,pad=0.25", fc=colour, ec="none", alpha=0.9))


def _inside(x, y, nx, ny):
    """(x, y) kept off the frame's edges, where a label would be cut."""
    return np.clip(x, 0.03 * nx, 0.97 * nx), np.clip(y, 0.04 * ny, 0.96 * ny)


def _plot_map(ax, catalog, streaks):
    search = catalog.search
    if search is None:
        ax.set_axis_off()
        return
    f = search.binning
    theta = np.degrees(search.theta)
    extent = [theta[0], theta[-1], f * search.r[0], f * search.r[-1]]
    # Saturate at a moderate level so that the noise texture and faint peaks stay visible.
    top = min(max(float(np.nanmax(search.snr)), 6.0), 12.0)
    shown = ax.imshow(search.snr, origin="lower", aspect="auto", extent=extent, cmap="magma",
                      vmin=-2.0, vmax=top, interpolation="nearest")
    cbar = ax.figure.colorbar(shown, ax=ax, fraction=0.05, pad=0.02)
    cbar.set_label("coarse S/N")
    for i, s in enumerate(streaks):
        ax.plot(np.degrees(s.theta), s.r, "o", ms=13, mfc="none", mec=COLOURS[i], mew=1.8)
        ax.annotate(str(i + 1), (np.degrees(s.theta), s.r), xytext=(9, 9),
                    textcoords="offset points", color=COLOURS[i], fontweight="bold")
    ax.set_xlim(0.0, 180.0)
    ax.set_xlabel("theta (degrees)")
    ax.set_ylabel("r (pixels)")
    ax.set_title(f"score map (binned {f}x{f})", loc="left")


def _plot_running_sum(ax, s, record, colour, number):
    x, y = record.position, record.running_sum
    ax.plot(x, y, color="0.35", lw=0.8, label="running sum")
    level, slope, a, b = record.fit[:4]
    model = level + slope * np.clip(x - a, 0.0, max(b - a, 1e-8))
    ax.plot(x, model, color=colour, lw=1.6, ls="--", label="ramp fit")
    ax.axvspan(record.start, record.end, color=colour, alpha=0.15, lw=0, label="streak")
    lo, hi = record.start - 0.3 * (record.end - record.start), \
        record.end + 0.3 * (record.end - record.start)
    inside = (x > x[1]) & (x < x[-2]) if x.size > 3 else np.ones(x.size, bool)
    ax.set_xlim(max(lo, x[inside].min()), min(hi, x[inside].max()))
    ax.set_title(f"{number}: S/N {s.snr:.1f}, {s.length:.0f} px, "
                 f"{s.flux_per_length:.3g} ± {s.flux_per_length_err:.2g} /px", fontsize=9,
                 loc="left", color=colour)
    ax.set_xlabel("position along the line (px)")
    if number == 1:
        ax.set_ylabel("running sum")
        ax.legend(fontsize=7, loc="upper left", framealpha=0.6)


def _plot_light_curve(ax, s, record, colour, number, chunks):
    value, error = light_curve(s, record, chunks)
    centre = (np.arange(chunks) + 0.5) * s.length / chunks
    ax.errorbar(centre, value, yerr=error, fmt="o", ms=3, color=colour, ecolor="0.5", lw=0.8)
    ax.step(centre, value, where="mid", color=colour, lw=1.0)
    ax.axhline(s.flux_per_length, color="0.35", lw=0.8, ls="--")
    ax.set_xlim(0.0, s.length)
    ax.set_xlabel("distance from the start (px)")
    if number == 1:
        ax.set_ylabel("flux per px")
    ax.set_title(f"{number}: brightness along the streak", fontsize=9, loc="left", color=colour)
