"""Makes the wheel a platform wheel: it carries a native module, so it is
tagged with the platform it was built for (py3-none-<platform>: the binding
is ctypes, any Python 3 will do). KELVO_WHEEL_PLATFORM names another
platform, for the Windows wheels built next to the Linux one."""

import os

from setuptools import setup
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel


class NativeDistribution(Distribution):
    """Installed as platform code (the wheel's root), not pure Python."""

    def has_ext_modules(self) -> bool:
        return True


class PlatformWheel(bdist_wheel):  # type: ignore[misc]
    def finalize_options(self) -> None:
        platform = os.environ.get("KELVO_WHEEL_PLATFORM")
        if platform:
            self.plat_name = platform
        super().finalize_options()

    def get_tag(self) -> tuple:
        _, _, platform = super().get_tag()
        return "py3", "none", platform


setup(distclass=NativeDistribution, cmdclass={"bdist_wheel": PlatformWheel})
