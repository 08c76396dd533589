"""Builds the zev wheel from the built package: the Python files, the stubs, the module and
the library it loads (given $ORIGIN as run path, so that it is found beside the module),
with Debian's python3-build and setuptools, without the network.

    make_wheel.py --package build/python/zev --library build/librl_zev.so.0.1.0=librl_zev.so.0 \
        --library build/runtime/librl_zev_runtime.so.0.1.0=librl_zev_runtime.so.0 \
        --version 0.1.0 --cmake cmake --out build/dist
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile

SETUP = '''from setuptools import setup
from setuptools.dist import Distribution


class BinaryDistribution(Distribution):
    """The module and the library are built already: the wheel is for this platform."""

    def has_ext_modules(self):
        return True


setup(
    name="zev",
    version="{version}",
    description="The ZEV register-access library rl_zev from Python: typed registers and signals, "
                "the simulated device, and devices served by zevd",
    packages=["zev"],
    package_data={{"zev": ["*.so", "*.so.*", "*.pyi", "py.typed"]}},
    python_requires=">=3.9",
    distclass=BinaryDistribution,
    zip_safe=False,
)
'''

PYPROJECT = '''[build-system]
requires = ["setuptools", "wheel"]
build-backend = "setuptools.build_meta"
'''


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--package", required=True)
    parser.add_argument("--library", required=True, action="append", metavar="PATH=SONAME",
                        help="a library the module loads, and the name it loads it by")
    parser.add_argument("--version", required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as stage:
        package = os.path.join(stage, "zev")
        os.makedirs(package)
        for pattern in ("*.py", "*.pyi", "py.typed", "_zev*.so"):
            for path in glob.glob(os.path.join(args.package, pattern)):
                shutil.copy2(path, package)
        module = glob.glob(os.path.join(package, "_zev*.so"))
        if len(module) != 1:
            sys.exit("make_wheel: no single _zev module in %s" % args.package)
        # The module and every library beside it find each other in the package's folder
        # (a library that needs no run path, the library itself, keeps none).
        found_beside = list(module)
        for item in args.library:
            path, soname = item.split("=", 1)
            shutil.copy2(path, os.path.join(package, soname))
            dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
            if "RUNPATH" in dynamic or "RPATH" in dynamic:
                found_beside.append(os.path.join(package, soname))
        script = os.path.join(stage, "rpath.cmake")
        with open(script, "w") as f:
            for binary in found_beside:
                f.write('file(RPATH_SET FILE "%s" NEW_RPATH "$ORIGIN")\n' % binary)
        subprocess.run([args.cmake, "-P", script], check=True)
        with open(os.path.join(stage, "setup.py"), "w") as f:
            f.write(SETUP.format(version=args.version))
        with open(os.path.join(stage, "pyproject.toml"), "w") as f:
            f.write(PYPROJECT)
        os.makedirs(args.out, exist_ok=True)
        for old in glob.glob(os.path.join(args.out, "zev-*.whl")):
            os.remove(old)
        subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir",
                        os.path.abspath(args.out), stage], check=True, stdout=subprocess.DEVNULL)
    wheels = glob.glob(os.path.join(args.out, "zev-*.whl"))
    print("make_wheel: %s" % wheels[0])


if __name__ == "__main__":
    main()
