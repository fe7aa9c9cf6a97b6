"""The measurement road in code: simulate four phase-shifted frames of a
surface, retrieve and unwrap the phase, and fit Zernike coefficients."""
import numpy as np

import zelnor

mask = zelnor.roundmask(1.0, 512, 512)                       # disc pupil, bool (512, 512)
truth = np.zeros(29)
truth[[3, 4, 6, 8]] = [1.5, 0.8, 0.6, 0.5]                   # waves of Fringe Z4, Z5, Z7, Z9
surface = zelnor.zernike_surface(truth, mask)                # float64 surface in waves
frames = [zelnor.interferogram(2 * np.pi, k * np.pi / 2, 65535, mask, surface) for k in range(4)]
wrapped = zelnor.phase(frames)                               # 2*pi*surface - pi/2, wrapped
# unwrap's grid is a torus and this disc touches all four borders: one invalid (0) row and
# column more keep it from joining opposite borders of the pupil.
valid = np.zeros((513, 513), np.uint8)
valid[:512, :512] = mask * np.uint8(255)                     # 255 inside the pupil
phase32 = np.zeros((513, 513), np.float32)
phase32[:512, :512] = wrapped
unwrapped = zelnor.unwrap(valid, phase32)[:512, :512]
waves = unwrapped.astype(np.float64) / (2 * np.pi)           # back to surface units (any piston)
inside = np.flatnonzero(mask)
basis = zelnor.zernike_matrix(mask, 29)[:, inside].T         # one column per Fringe term
fit, *_ = np.linalg.lstsq(basis, waves.ravel()[inside], rcond=None)
print("true     ", np.round(truth[1:9], 4))
print("recovered", np.round(fit[1:9], 4))                    # piston (fit[0]) is arbitrary
