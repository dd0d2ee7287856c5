// The source lines that the module's traceback entries report, each named once: the method table
// takes the first lines from here, the bodies announce the others with Frame::at, and the tests
// read this file (tests/lines.py) to check them.
//
// A function's own name is its first line, where argument errors point; `<function>_<what>` is a
// statement inside it.
#pragma once

namespace kestrova::lines {

// The module's execution, reported as "init kestrova.hough".
inline constexpr int module = 1;            // before the first statement
inline constexpr int module_numpy = 6;      // import numpy as np
inline constexpr int module_optimize = 7;   // import scipy.optimize as opt
inline constexpr int module_itertools = 8;  // import itertools
inline constexpr int module_class = 21;     // class HoughTransform

// __init__(self, image, sigma)
inline constexpr int init = 24;
inline constexpr int init_image = 25;     // self.image = image
inline constexpr int init_sigma = 26;     // self.sigma = sigma
inline constexpr int init_shape = 27;     // ny, nx = image.shape
inline constexpr int init_center = 28;    // self.center = ((ny - 1) / 2, (nx - 1) / 2)
inline constexpr int init_axis1 = 29;     // self.axis1 = np.arange(nx).reshape(1, nx) - center[1]
inline constexpr int init_axis2 = 30;     // self.axis2 = np.arange(ny).reshape(ny, 1) - center[0]
inline constexpr int init_radius = 31;    // self.radius = np.sqrt(nx**2 + ny**2) / 2
inline constexpr int init_append_x = 32;  // self.append_x = self.radius * np.array([-1, 1])
inline constexpr int init_append_y = 33;  // self.append_y = np.zeros(2)

// dl(self, r, theta)
inline constexpr int dl = 35;
inline constexpr int dl_cos = 36;  // c = np.cos(theta)
inline constexpr int dl_sin = 37;  // s = np.sin(theta)
inline constexpr int dl_sum = 38;  // (-s) * axis1 + c * axis2 + r

// dm(self, r, theta)
inline constexpr int dm = 40;
inline constexpr int dm_cos = 41;  // c = np.cos(theta)
inline constexpr int dm_sin = 42;  // s = np.sin(theta)
inline constexpr int dm_sum = 43;  // c * axis1 + s * axis2

// p0(self, r, theta)
inline constexpr int p0 = 45;
inline constexpr int p0_array = 46;  // np.array([r * np.sin(theta), (-r) * np.cos(theta)])

// n0(self, r, theta)
inline constexpr int n0 = 48;
inline constexpr int n0_array = 49;  // np.array([np.cos(theta), np.sin(theta)])

// dmlim(self, r, theta)
inline constexpr int dmlim = 51;
inline constexpr int dmlim_shape = 52;      // ny, nx = self.image.shape
inline constexpr int dmlim_p = 53;          // p = np.tile(self.p0(r, theta), 2)
inline constexpr int dmlim_b = 54;          // b = np.tile(self.n0(r, theta), 2)
inline constexpr int dmlim_guard = 55;      // b[np.abs(b) < 1e-8] = 1e-8
inline constexpr int dmlim_crossings = 56;  // X = (np.array([borders]) - p) / b
inline constexpr int dmlim_inside = 57;     // the stretch inside, for a foot point outside
inline constexpr int dmlim_below = 58;      // Xm = X[X < 0]
inline constexpr int dmlim_above = 59;      // Xp = X[X > 0]
inline constexpr int dmlim_return = 60;     // return np.max(Xm), np.min(Xp)

// locate(self, r, theta, dm)
inline constexpr int locate = 62;
inline constexpr int locate_point = 63;  // self.p0(r, theta) + dm * self.n0(r, theta)

// score_map(self, r0, r1, nr, t0, t1, nt, width=1.0)
inline constexpr int score_map = 65;
inline constexpr int score_map_zeros = 71;    // score = np.zeros(nr * nt)
inline constexpr int score_map_input = 73;    // the image's float64 copy, transposed
inline constexpr int score_map_shape = 75;    // Nx, Ny = self.image.shape
inline constexpr int score_map_kernel = 77;   // the native kernel
inline constexpr int score_map_copy = 78;     // the kernel's result into score
inline constexpr int score_map_reshape = 79;  // return score.reshape(nr, nt)

// mask(self, r, theta, w)
inline constexpr int mask = 81;
inline constexpr int mask_band = 82;  // np.abs(self.dl(r, theta)) < w

// elements_along(self, r, theta, w)
inline constexpr int elements_along = 84;
inline constexpr int elements_along_mask = 85;       // mask = self.mask(r, theta, w)
inline constexpr int elements_along_dm = 86;         // dm = self.dm(r, theta)[mask]
inline constexpr int elements_along_px = 87;         // px = self.image[mask]
inline constexpr int elements_along_append_dm = 88;  // dm = np.append(dm, self.append_x)
inline constexpr int elements_along_append_px = 89;  // px = np.append(px, self.append_y)
inline constexpr int elements_along_argsort = 90;    // index = dm.argsort()
inline constexpr int elements_along_stack = 91;      // np.vstack((dm[index], np.cumsum(px[index])))
inline constexpr int elements_along_return = 92;     // return elem

// snr(self, r, theta, w)
inline constexpr int snr = 95;
inline constexpr int snr_elements = 96;  // E = self.elements_along(r, theta, w)
inline constexpr int snr_size = 97;      // N = E[1].size
inline constexpr int snr_min = 98;       // m = E[1].min()
inline constexpr int snr_max = 99;       // M = E[1].max()
inline constexpr int snr_ratio = 100;    // (M - m) / self.sigma / np.sqrt(N)

// fit(self, r, theta, w), and the objective it minimises
inline constexpr int fit = 103;
inline constexpr int fit_elements = 104;   // E = self.elements_along(r, theta, w)
inline constexpr int fit_size = 105;       // N = E[1].size
inline constexpr int fit_min = 106;        // m = E[1].min()
inline constexpr int fit_max = 107;        // M = E[1].max()
inline constexpr int fit_noise = 108;      // s = self.sigma * np.sqrt(1 + np.arange(N))
inline constexpr int fit_limits = 109;     // dm, dM = self.dmlim(r, theta)
inline constexpr int fit_bounds = 110;     // bounds = opt.Bounds(...)
inline constexpr int fit_start = 111;      // init = [m, (M - m) / N, dm, dM - dm]
inline constexpr int fit_objective = 112;  // func = lambda p: ..., and the lambda's own entry
inline constexpr int fit_minimize = 113;   // res = opt.minimize(func, init, ...)
inline constexpr int fit_result = 114;     // return np.hstack((res.x, np.sqrt(res.fun) / N))

// profile(self, r, theta, dm1, dm2, w)
inline constexpr int profile = 117;
inline constexpr int profile_dm = 118;         // dm = self.dm(r, theta)
inline constexpr int profile_mask = 119;       // mask = self.mask(...) & (dm > dm1) & (dm < dm2)
inline constexpr int profile_dl = 120;         // dl = self.dl(r, theta)[mask]
inline constexpr int profile_px = 121;         // px = self.image[mask]
inline constexpr int profile_histogram = 122;  // hist, edge = np.histogram(dl, ...)
inline constexpr int profile_edge = 123;       // edge = edge[1:] - np.diff(edge)
inline constexpr int profile_return = 124;     // return np.vstack((edge, hist))

// ramp_sigmoid(self, x, p)
inline constexpr int ramp_sigmoid = 127;
inline constexpr int ramp_sigmoid_level = 128;   // p[0], p[1]
inline constexpr int ramp_sigmoid_shift = 129;   // x - p[2]
inline constexpr int ramp_sigmoid_upper = 130;   // max(p[3] - p[2], 1e-08)
inline constexpr int ramp_sigmoid_clip = 131;    // np.clip(x - p[2], 0, upper)
inline constexpr int ramp_sigmoid_return = 132;  // return p[0] + p[1] * clipped

}  // namespace kestrova::lines
