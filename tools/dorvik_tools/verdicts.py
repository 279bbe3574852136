"""The verdicts of a comparison of new runs with old ones.

The rates of a run vary in two ways: the whole run moves together (another
moment of the machine, its caches, its neighbours), and each point moves on
its own. So the logarithm of a rate is taken as the point's level, plus the
run's, plus noise. Within each side, removing each run's mean and each
point's mean leaves the point-level noise, pooled over the whole grid (many
degrees of freedom); the spread of the runs' means is the run-level
variation, whose unit of repetition is the run.

Per phase, the shift over the grid (the mean of the new runs' means against
the old) is judged against the spread of the runs' means: a t-test whose
unit is the run. Each point's difference of mean logarithms is judged
against the variance of one run's rate at one point, the run-level and the
point-level variance together. Holm's step-down, weighted, holds the chance
of any false verdict among all these tests to ALPHA: the two phases' tests
over the grid, the question a comparison asks first, weigh half of it, the
points the other half. The threshold is a floor: nothing moved less than it
is worse or better.

Student's t distribution is computed here from the regularised incomplete
beta function, by its continued fraction, with the standard library alone."""

import math
from fractions import Fraction

# The chance of any false verdict (worse or better when nothing changed) in a whole comparison.
ALPHA = 0.05
# The weight of each phase's test over the grid in Holm's procedure; the points of both phases share
# as much as the two grid tests.
GRID_WEIGHT = 0.25
# The confidence of the interval given with each phase's ratio: its test's own level, so that an
# interval without 1 is a change found.
CONFIDENCE = 1 - ALPHA * GRID_WEIGHT
# How often the runs that the advice names find the change it names.
POWER = 0.8
POWER_WORDS = "4 times in 5"
# The most runs a side the advice names.
MOST_RUNS = 1000
# Runs a side before the noise is measured.
MEASURED = 2
# The chance, with no drift, of a warning of drift in a phase.
DRIFT_CHANCE = 0.01
WORSE, BETTER = "worse", "better"
NOT_MEASURED = ", noise not measured"
PHASES = ("write", "read")


def continued_fraction(a, b, x):
    """The continued fraction of the incomplete beta function I_x(a, b), by Lentz's method."""
    tiny = 1e-300

    def kept(value):
        return value if abs(value) > tiny else tiny
    c, d = 1.0, 1 / kept(1 - (a + b) * x / (a + 1))
    result = d
    for m in range(1, 100000):
        step = m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m))
        d, c = 1 / kept(1 + step * d), kept(1 + step / c)
        result *= d * c
        step = -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1))
        d, c = 1 / kept(1 + step * d), kept(1 + step / c)
        result *= d * c
        if abs(d * c - 1) < 1e-15:
            break
    return result


def incomplete_beta(a, b, x):
    """The regularised incomplete beta function I_x(a, b), for a, b > 0 and x from 0 to 1."""
    if x <= 0:
        return 0.0
    if x >= 1:
        return 1.0
    front = math.exp(math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x))
    if x < (a + 1) / (a + b + 2):
        return front * continued_fraction(a, b, x) / a
    return 1 - front * continued_fraction(b, a, 1 - x) / b


def t_tail(t, df):
    """The chance that Student's t with df degrees of freedom lies above t."""
    beyond = incomplete_beta(df / 2, 0.5, df / (df + t * t)) / 2
    return beyond if t >= 0 else 1 - beyond


def t_cdf(t, df):
    """The chance that Student's t with df degrees of freedom lies at or below t."""
    return 1 - t_tail(t, df)


def t_quantile(p, df):
    """The t below which Student's t with df degrees of freedom lies with chance p (0 < p < 1), by
    halving an interval that holds it."""
    if p < 0.5:
        return -t_quantile(1 - p, df)
    low, high = 0.0, 2.0
    while t_cdf(high, df) < p:
        low, high = high, 2 * high
    for _ in range(200):
        middle = (low + high) / 2
        if middle in (low, high):
            break
        low, high = (middle, high) if t_cdf(middle, df) < p else (low, middle)
    return (low + high) / 2


def two_sided(estimate, error, df):
    """The chance, with nothing changed, of an estimate at least this far from 0 either way."""
    if error == 0:
        return 1.0 if estimate == 0 else 0.0
    return min(1.0, 2 * t_tail(abs(estimate) / error, df))


def holm(tests):
    """The tests (name: (chance with nothing changed, weight)) that Holm's weighted step-down procedure
    takes as changes, holding the chance of any false one among them all to ALPHA: in the order of
    chance over weight, each is taken while its chance is at most ALPHA times its share of the
    weight of the tests not yet taken."""
    taken = set()
    remaining = math.fsum(weight for _, weight in tests.values())
    for name, (chance, weight) in sorted(tests.items(), key=lambda test: test[1][0] / test[1][1]):
        if chance > ALPHA * weight / remaining:
            break
        taken.add(name)
        remaining -= weight
    return taken


def mean(values):
    return math.fsum(values) / len(values)


def full_variance(run_variance, run_df, noise_variance, noise_df, points):
    """The variance of one run's log rate at one point, with its degrees of freedom: the variance of
    a run's mean over the points (run_variance, which holds 1 / points of the noise) and the
    point-level noise, combined as Satterthwaite's approximation weighs them."""
    if not noise_df:
        return run_variance, run_df
    noise_share = (1 - 1 / points) * noise_variance
    if run_variance <= noise_variance / points:
        return noise_variance, noise_df
    total = run_variance + noise_share
    return total, total ** 2 / (run_variance ** 2 / run_df + noise_share ** 2 / noise_df)


class Model:
    """One phase's log rates, old and new (runs by points), as point + run + noise within each side."""

    def __init__(self, old, new):
        sides = (old, new)
        self.counts = (len(old), len(new))
        self.points = len(old[0])
        self.run_means = run_means = [[mean(run) for run in side] for side in sides]
        point_means = [[mean(column) for column in zip(*side)] for side in sides]
        grand = [mean(means) for means in run_means]
        self.shift = grand[1] - grand[0]
        self.point_shifts = [new - old for old, new in zip(*point_means)]
        self.run_df = sum(self.counts) - 2
        self.run_variance = math.fsum((value - middle) ** 2 for means, middle in zip(run_means, grand)
                                      for value in means) / self.run_df
        self.noise_df = self.run_df * (self.points - 1)
        residuals = math.fsum((value - run_mean - point_mean + middle) ** 2
                              for side, means, columns, middle in zip(sides, run_means, point_means, grand)
                              for run, run_mean in zip(side, means)
                              for value, point_mean in zip(run, columns))
        self.noise_variance = residuals / self.noise_df if self.noise_df else 0.0

    def drift(self):
        """The runs' means against their order within each side, a slope common to both sides: the chance of
        one this steep either way with no drift (t-test, a mean per side and the slope fitted), and the slope;
        None where no run is left to judge it."""
        df = sum(self.counts) - 3
        if df < 1:
            return None
        pairs = [(order - (len(means) - 1) / 2, value - middle) for means, middle in
                 ((means, mean(means)) for means in self.run_means) for order, value in enumerate(means)]
        spread = math.fsum(order ** 2 for order, _ in pairs)
        slope = math.fsum(order * value for order, value in pairs) / spread
        residual = math.fsum((value - slope * order) ** 2 for order, value in pairs) / df
        return two_sided(slope, math.sqrt(residual / spread), df), slope

    def scale(self, runs=None):
        """1 / n + 1 / m for the runs of each side (or for as many runs on either)."""
        return sum(1 / count for count in self.counts) if runs is None else 2 / runs

    def grid_error(self, runs=None):
        return math.sqrt(self.run_variance * self.scale(runs))

    def point_variance(self, runs=None):
        """The variance of one run's log rate at one point and its degrees of freedom, for these runs
        or for as many runs on either side."""
        run_df = self.run_df if runs is None else 2 * runs - 2
        return full_variance(self.run_variance, run_df, self.noise_variance, run_df * (self.points - 1), self.points)

    def grid_chance(self):
        return two_sided(self.shift, self.grid_error(), self.run_df)

    def point_chances(self):
        variance, df = self.point_variance()
        error = math.sqrt(variance * self.scale())
        return [two_sided(shift, error, df) for shift in self.point_shifts]

    def interval(self):
        """The ratio over the grid, new over old, at CONFIDENCE: (low, high)."""
        reach = t_quantile((1 + CONFIDENCE) / 2, self.run_df) * self.grid_error()
        return math.exp(self.shift - reach), math.exp(self.shift + reach)

    def finds(self, runs, change, floor, alpha, at_point):
        """Whether that many runs a side find a drop of change (in log) at least POWER of the time,
        the test at alpha and the estimate beyond the floor (in log)."""
        if at_point:
            variance, df = self.point_variance(runs)
        else:
            variance, df = self.run_variance, 2 * runs - 2
        error = math.sqrt(variance * self.scale(runs))
        if error == 0:
            return True
        critical = max(t_quantile(1 - alpha / 2, df), floor / error)
        return t_tail(critical - change / error, df) >= POWER

    def runs_needed(self, change, floor, at_point):
        """The fewest runs a side that find a drop of change (in log) POWER of the time, at a point or over
        the grid, each test at the level of its weight; None beyond MOST_RUNS."""
        alpha = ALPHA * GRID_WEIGHT / (self.points if at_point else 1)
        low, high = MEASURED, MEASURED
        while not self.finds(high, change, floor, alpha, at_point):
            if high >= MOST_RUNS:
                return None
            low, high = high + 1, min(2 * high, MOST_RUNS)
        while low < high:
            middle = (low + high) // 2
            low, high = (low, middle) if self.finds(middle, change, floor, alpha, at_point) else (middle + 1, high)
        return low


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return Fraction(ordered[middle]) if len(ordered) % 2 else Fraction(ordered[middle - 1] + ordered[middle], 2)


def moved(ratio, direction, limit):
    """Whether a ratio moved beyond the threshold, down for worse and up for better."""
    return ratio < 1 - limit if direction == WORSE else ratio > 1 + limit


def by_threshold(ratio, limit, suffix=""):
    """The verdict of a ratio by the threshold alone."""
    for direction in (WORSE, BETTER):
        if moved(ratio, direction, limit):
            return direction + suffix
    return "same" + suffix


def judged(ratio, limit, shift, holds):
    """A verdict whose test was made: worse or better where the ratio moved beyond the threshold and
    the test found a change that way; noise where it moved that far without one."""
    verdict = by_threshold(ratio, limit)
    if verdict == "same":
        return verdict
    return verdict if holds and (shift < 0) == (verdict == WORSE) else "noise"


def change_to_find(limit):
    """The drop that the advice names: twice the threshold, at least 10% and at most halfway from the
    threshold to 100%."""
    return max(0.1, min(2 * limit, (1 + limit) / 2))


class Cell:
    """A point's phase: the rates of each side's runs (where they gave one) and the ratio of their
    medians (None where the old median is 0, as for the writes of a CD-ROM series)."""

    def __init__(self, old, new):
        self.old, self.new = [rate for rate in old if rate >= 0], [rate for rate in new if rate >= 0]
        self.modelled = len(self.old) == len(old) and len(self.new) == len(new) and min(self.old + self.new) > 0
        self.old_median, self.new_median = median(self.old), median(self.new)
        self.ratio = self.new_median / self.old_median if self.old_median else None
        self.mark = ""


class Comparison:
    """The verdicts of new runs against old ones. points is the grid in order; old and new give per
    point a sequence per phase of the rates of every run (-1 where a run gave none); limit is the
    threshold as a fraction."""

    def __init__(self, points, old, new, limit):
        self.points, self.limit = points, limit
        self.runs = (len(old[points[0]][0]), len(new[points[0]][0]))
        self.cells = {(point, phase): Cell(old[point][index], new[point][index])
                      for point in points for index, phase in enumerate(PHASES)}
        self.models = {phase: self.model(phase) for phase in PHASES}
        tests = {}
        for phase, (model, modelled) in self.models.items():
            if model is None:
                continue
            tests[phase] = (model.grid_chance(), GRID_WEIGHT)
            if model.points > 1:
                tests.update(((point, phase), (chance, GRID_WEIGHT / model.points))
                             for point, chance in zip(modelled, model.point_chances()))
        self.taken = holm(tests)
        self.tests = tests
        for (point, phase), cell in self.cells.items():
            cell.mark = self.mark(point, phase, cell)

    def model(self, phase):
        """The phase's model over the points where every run of both sides gave a rate above 0, and
        those points; (None, points) where a side has fewer than MEASURED runs or no point is left."""
        modelled = [point for point in self.points if self.cells[point, phase].modelled]
        runs = [len(self.cells[modelled[0], phase].old), len(self.cells[modelled[0], phase].new)] if modelled else [0]
        if min(runs) < MEASURED:
            return None, modelled
        cells = [self.cells[point, phase] for point in modelled]
        old = [[math.log(cell.old[run]) for cell in cells] for run in range(runs[0])]
        new = [[math.log(cell.new[run]) for cell in cells] for run in range(runs[1])]
        return Model(old, new), modelled

    def mark(self, point, phase, cell):
        if cell.ratio is None:
            return ""
        model, modelled = self.models[phase]
        if model is None or point not in modelled:
            return by_threshold(cell.ratio, self.limit, NOT_MEASURED)
        if model.points == 1:
            return judged(cell.ratio, self.limit, model.shift, phase in self.taken)
        shift = model.point_shifts[modelled.index(point)]
        return judged(cell.ratio, self.limit, shift, (point, phase) in self.taken)

    def geometric_ratio(self, phase):
        """New over old over the grid: the ratio of the geometric means of the points' rates, each point's
        the geometric mean of its runs; None where no point has a rate above 0 in every run."""
        logs = [mean([math.log(v) for v in cell.new]) - mean([math.log(v) for v in cell.old])
                for (_, cell_phase), cell in self.cells.items() if cell_phase == phase and cell.modelled]
        return math.exp(mean(logs)) if logs else None

    def phase(self, phase):
        """A phase over the grid: its verdict, its ratio and interval, its test and the runs that would
        find twice the threshold."""
        model, modelled = self.models[phase]
        summary = {"points": len(modelled), "old_runs": self.runs[0], "new_runs": self.runs[1],
                   "ratio": self.geometric_ratio(phase), "ratio_low": None, "ratio_high": None, "chance": None,
                   "verdict": "", "runs_needed": None}
        if summary["ratio"] is None:
            return summary
        if model is None:
            summary["verdict"] = by_threshold(summary["ratio"], self.limit, NOT_MEASURED)
            return summary
        summary["ratio_low"], summary["ratio_high"] = model.interval()
        summary["chance"] = self.tests[phase][0]
        summary["verdict"] = judged(summary["ratio"], self.limit, model.shift, phase in self.taken)
        summary["runs_needed"] = self.runs_needed(model)
        return summary

    def runs_needed(self, model):
        """The runs a side that would find twice the threshold, at a single point and over the grid."""
        change = change_to_find(float(self.limit))
        drop, floor = -math.log(1 - change), -math.log(1 - float(self.limit))
        return {"change_percent": round(100 * change, 6), "point": model.runs_needed(drop, floor, True),
                "grid": model.runs_needed(drop, floor, False)}

    def warnings(self):
        """Drift: within each side, in the order the runs were given, the runs' means trend one way, as when
        the machine changed while the runs ran; DRIFT_CHANCE in each phase with no drift, however the runs
        scale."""
        found = []
        for phase, (model, _) in self.models.items():
            drift = None if model is None else model.drift()
            if drift is not None and drift[0] <= DRIFT_CHANCE:
                found.append(f"in the order the runs were given, the {phase} rates {'fall' if drift[1] < 0 else 'rise'} "
                             "within each side: the machine may have drifted while they ran; run the two sides in turn "
                             "(old, new, old, new), five or more runs a side")
        return found
