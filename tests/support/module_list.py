"""The seven extension modules of the package, listed once for the whole suite.

SOURCES maps each dotted module name to its source file (relative to the
repository root); BUILT keeps the modules whose source exists.
"""

from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

SOURCES = {
    "talvora.memory.mesqua": "src/memory/mesqua.cpp",
    "talvora.memory.tollet": "src/memory/tollet.cpp",
    "talvora.memory.pardune": "src/memory/pardune.cpp",
    "talvora.jit.orvistle": "src/jit/orvistle.cpp",
    "talvora.plugins.analyzer.kelmarch": "src/plugins/analyzer/kelmarch.cpp",
    "talvora.plugins.analyzer.vossendra": "src/plugins/analyzer/vossendra.cpp",
    "talvora.gpu.drelling": "src/gpu/drelling.cpp",
}

MODULES = list(SOURCES)

BUILT = [m for m, src in SOURCES.items() if (ROOT / src).exists()]


def short(module):
    """The last component of a dotted module name."""
    return module.rsplit(".", 1)[1]
