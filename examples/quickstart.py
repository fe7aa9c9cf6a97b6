"""A short tour of zelnor: a pupil mask and a threshold mask."""
import numpy as np

import zelnor

mask = zelnor.roundmask(1.0, 9, 9)  # the disc inscribed in a 9 x 9 image
print("zelnor", zelnor.__version__)
print("roundmask(1.0, 9, 9):")
for row in mask:
    print("  " + "".join("#" if inside else "." for inside in row))

yy, xx = np.mgrid[-1:1:9j, -1:1:9j]
surface = 1.0 - (xx**2 + yy**2)
print("make_mask(surface, 0.5) keeps", int(zelnor.make_mask(surface, 0.5).sum()), "of", surface.size, "pixels")
