#!/usr/bin/env python3
"""Tests of the program's resources and of check_pe.py, the checker that
guards them in every build.

    python3 tests/resources/test_resources.py -v

They run windres and link probe executables with both MinGW-w64 toolchains,
in both thread models; where one is missing the run fails at once with one
line naming its package.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
RESOURCES = os.path.join(ROOT, 'resources')
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'evt-replay'))

import check_pe  # noqa: E402
import require  # noqa: E402

TOOLCHAINS = {'x86': 'i686-w64-mingw32', 'amd64': 'x86_64-w64-mingw32'}
# Debian's package of each tool the tests run, by machine.
TOOL_PACKAGES = {
    'x86': {'windres': 'binutils-mingw-w64-i686', 'g++-win32': 'g++-mingw-w64-i686-win32',
            'g++-posix': 'g++-mingw-w64-i686-posix'},
    'amd64': {'windres': 'binutils-mingw-w64-x86-64', 'g++-win32': 'g++-mingw-w64-x86-64-win32',
              'g++-posix': 'g++-mingw-w64-x86-64-posix'},
}
MANIFEST_FILES = {'x86': 'tallyvane-x86.manifest', 'amd64': 'tallyvane-amd64.manifest'}


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def manifest(arch):
    return read(os.path.join(RESOURCES, MANIFEST_FILES[arch]))


def failures_of(check, *args):
    report = check_pe.Report()
    check(report, *args)
    return report.failures


def parse_res(data):
    """Resources in a .res file, shaped like check_pe.read_resources."""
    found = []
    offset = 0
    while offset < len(data):
        data_size, header_size = struct.unpack_from('<II', data, offset)
        header = data[offset + 8:offset + header_size]
        type_id, position = _res_id(header, 0)
        name_id, position = _res_id(header, position)
        position = (position + 3) & ~3
        language = struct.unpack_from('<IHH', header, position)[2]
        blob = data[offset + header_size:offset + header_size + data_size]
        if type_id != 0:  # the empty entry that opens every .res file
            found.append(((type_id, name_id, language), blob))
        offset = (offset + header_size + data_size + 3) & ~3
    return found


def _res_id(header, position):
    if struct.unpack_from('<H', header, position)[0] == 0xFFFF:
        return struct.unpack_from('<H', header, position + 2)[0], position + 4
    end = position
    while header[end:end + 2] != b'\0\0':
        end += 2
    return header[position:end].decode('utf-16-le'), end + 2


def compile_resources(arch, directory, rc_text=None):
    """Runs the arch's windres on resources/ (its script optionally
    replaced by rc_text) and returns the resources it made."""
    work = os.path.join(directory, 'resources')
    shutil.copytree(RESOURCES, work)
    if rc_text is not None:
        with open(os.path.join(work, 'tallyvane.rc'), 'w') as f:
            f.write(rc_text)
    out = os.path.join(directory, 'out.res')
    subprocess.run(['%s-windres' % TOOLCHAINS[arch], os.path.join(work, 'tallyvane.rc'),
                    '-O', 'res', '-o', out], check=True, capture_output=True)
    return parse_res(read(out))


def check_resources(resources, arch):
    """The resource checks of check_pe, on resources from anywhere."""
    report = check_pe.Report()
    blobs = check_pe.check_resource_table(report, resources, check_pe.ARCHES[arch])
    if check_pe.RT_GROUP_ICON in blobs:
        check_pe.check_group_icon(report, blobs[check_pe.RT_GROUP_ICON])
    if check_pe.RT_ICON in blobs:
        check_pe.check_icon_image(report, blobs[check_pe.RT_ICON])
    if check_pe.RT_VERSION in blobs:
        check_pe.check_version(report, blobs[check_pe.RT_VERSION])
    if check_pe.RT_MANIFEST in blobs:
        check_pe.check_manifest(report, blobs[check_pe.RT_MANIFEST], check_pe.ARCHES[arch])
    return report.failures


class ManifestFileTests(unittest.TestCase):

    def test_each_manifest_file_has_its_exact_size(self):
        for arch, size in (('x86', 670), ('amd64', 674)):
            with self.subTest(arch=arch):
                self.assertEqual(len(manifest(arch)), size)

    def test_manifests_differ_only_in_processor_architecture(self):
        x86, amd64 = manifest('x86'), manifest('amd64')
        self.assertEqual(x86.count(b'processorArchitecture="x86"'), 2)
        self.assertEqual(amd64.count(b'processorArchitecture="amd64"'), 2)
        self.assertEqual(amd64.replace(b'processorArchitecture="amd64"',
                                       b'processorArchitecture="x86"'), x86)

    def test_each_manifest_file_passes_the_checker_for_its_own_arch_only(self):
        for file_arch in check_pe.ARCHES:
            for checked_as in check_pe.ARCHES:
                with self.subTest(file=file_arch, checked_as=checked_as):
                    failures = failures_of(check_pe.check_manifest, manifest(file_arch),
                                           check_pe.ARCHES[checked_as])
                    if file_arch == checked_as:
                        self.assertEqual(failures, [])
                    else:
                        self.assertEqual(len(failures), 2, failures)
                        self.assertTrue(all('@processorArchitecture' in line
                                            for line in failures), failures)


class ManifestCheckerTests(unittest.TestCase):
    # (what is wrong, replace this, with this, a failure line must contain)
    FAULTS = [
        ('a trustInfo block', b'</dependency>',
         b'</dependency>\r\n<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"/>',
         'manifest /assembly children'),
        ('a DPI setting in another namespace', b'</assembly>',
         b'<application xmlns="urn:schemas-microsoft-com:asm.v3"/></assembly>',
         'manifest /assembly children'),
        ('no language on the dependency', b'language="*"', b'',
         'assemblyIdentity @language'),
        ('another public key token', b'6595b64144ccf1df', b'6595b64144ccf1de',
         '@publicKeyToken'),
        ('an extra attribute', b'<dependency>', b'<dependency optional="yes">',
         'manifest /assembly/dependency attributes: unexpected optional'),
        ('another description', b'Windows Shell', b'Windows Explorer',
         'manifest /assembly/description text'),
        ('no description', b'<description>Windows Shell</description>\r\n',
         b'', 'manifest /assembly children'),
        ('not standalone', b'standalone="yes"', b'standalone="no"',
         'manifest declaration'),
        ('another namespace', b'urn:schemas-microsoft-com:asm.v1',
         b'urn:schemas-microsoft-com:asm.v3', 'manifest /assembly tag'),
        ('a byte order mark', b'<?xml', b'\xef\xbb\xbf<?xml', 'manifest encoding'),
        ('broken XML', b'</dependency>', b'</dependancy>', 'manifest xml'),
        ('stray text', b'</description>', b'</description>x', 'stray text'),
    ]

    def test_each_fault_fails_the_named_check(self):
        for arch in check_pe.ARCHES:
            for fault, old, new, expected in self.FAULTS:
                with self.subTest(arch=arch, fault=fault):
                    text = manifest(arch)
                    self.assertIn(old, text)
                    failures = failures_of(check_pe.check_manifest,
                                           text.replace(old, new, 1), check_pe.ARCHES[arch])
                    self.assertTrue(any(expected in line for line in failures),
                                    '%r not in %r' % (expected, failures))


class IconFileTests(unittest.TestCase):

    def setUp(self):
        self.ico = read(os.path.join(RESOURCES, 'tallyvane.ico'))

    def test_committed_icon_is_what_the_generator_makes(self):
        with tempfile.TemporaryDirectory() as directory:
            out = os.path.join(directory, 'icon.ico')
            subprocess.run([sys.executable, os.path.join(ROOT, 'resources', 'make_icon.py'),
                            '--output', out], check=True)
            self.assertEqual(read(out), self.ico)

    def test_icon_file_holds_one_32x32_16_colour_image(self):
        reserved, kind, count = struct.unpack_from('<HHH', self.ico)
        entry = struct.unpack_from('<BBBBHHII', self.ico, 6)
        fields = [
            ('idReserved', reserved, 0), ('idType', kind, 1), ('idCount', count, 1),
            ('bWidth', entry[0], 32), ('bHeight', entry[1], 32),
            ('bColorCount', entry[2], 16), ('bReserved', entry[3], 0),
            ('wPlanes', entry[4], 1), ('wBitCount', entry[5], 4),
            ('dwBytesInRes', entry[6], 744), ('dwImageOffset', entry[7], 22),
        ]
        for name, actual, expected in fields:
            with self.subTest(field=name):
                self.assertEqual(actual, expected)
        self.assertEqual(len(self.ico), 22 + 744)
        self.assertEqual(failures_of(check_pe.check_icon_image, self.ico[22:]), [])

    def test_transparent_pixels_are_black_in_the_colour_bitmap(self):
        # Where the mask is set, Windows XORs the colour bitmap onto the
        # screen: anything but black there shows as inverted specks.
        image = self.ico[22:]
        colour, mask = image[104:104 + 512], image[616:616 + 128]
        transparent = opaque = 0
        for y in range(32):
            for x in range(32):
                if mask[y * 4 + x // 8] & (0x80 >> (x % 8)):
                    transparent += 1
                    nibble = colour[y * 16 + x // 2] >> (4 if x % 2 == 0 else 0) & 0xF
                    self.assertEqual(nibble, 0, 'pixel %d,%d' % (x, y))
                else:
                    opaque += 1
        self.assertGreater(transparent, 0)
        self.assertGreater(opaque, transparent)


class ResourceScriptTests(unittest.TestCase):

    def setUp(self):
        self.rc = read(os.path.join(RESOURCES, 'tallyvane.rc')).decode('utf-8')

    def test_each_toolchain_makes_the_resources_with_its_own_manifest(self):
        for arch in TOOLCHAINS:
            with self.subTest(arch=arch), tempfile.TemporaryDirectory() as directory:
                resources = compile_resources(arch, directory)
                self.assertEqual(check_resources(resources, arch), [])
                blob = dict(resources)[(check_pe.RT_MANIFEST, 1, check_pe.LANG_EN_US)]
                self.assertEqual(blob, manifest(arch))

    # (what is wrong, replace this, with this, a failure line must contain)
    FAULTS = [
        ('strings out of order',
         '            VALUE "ProductName",      "TALLYVANE"\n'
         '            VALUE "ProductVersion",   "1.0.0.0"\n',
         '            VALUE "ProductVersion",   "1.0.0.0"\n'
         '            VALUE "ProductName",      "TALLYVANE"\n',
         'version string names'),
        ('another year, same size', '2024 by', '2025 by', 'version string LegalCopyright'),
        ('a longer copyright', 'by Orvensmith', 'by Orvensmith Ltd',
         'resource type 16 name 1 size'),
        ('a patch version', 'FILEVERSION     1,0,0,0', 'FILEVERSION     1,0,0,1',
         'version dwFileVersionLS'),
        ('a debug build flag', 'FILEFLAGS       0', 'FILEFLAGS       1',
         'version dwFileFlags'),
        ('a DLL file type', 'VFT_APP', 'VFT_DLL', 'version dwFileType'),
        ('a Unicode translation', '0x0409, 0x04E4', '0x0409, 0x04B0',
         'version Translation: got (0x0409, 0x04B0)'),
        ('a Unicode string table', '"040904E4"', '"040904B0"', 'version string tables'),
        ('the icon group renamed', 'APPICON ICON', 'MAINICON ICON', "name 'APPICON'"),
        ('language neutral', 'LANGUAGE 0x09, 0x01', 'LANGUAGE 0, 0',
         "name 'APPICON' language: got 0"),
        ('one more resource', 'VS_VERSION_INFO VERSIONINFO',
         '2 RCDATA { 1 }\nVS_VERSION_INFO VERSIONINFO',
         "resource type 10 name 2: not one of the program's resources"),
    ]

    def test_each_fault_in_the_script_fails_the_named_check(self):
        for fault, old, new, expected in self.FAULTS:
            with self.subTest(fault=fault), tempfile.TemporaryDirectory() as directory:
                self.assertIn(old, self.rc)
                failures = check_resources(
                    compile_resources('amd64', directory, self.rc.replace(old, new, 1)), 'amd64')
                self.assertTrue(any(expected in line for line in failures),
                                '%r not in %r' % (expected, failures))


class BuiltExecutableTests(unittest.TestCase):
    """Links a probe program with the resources, as the real build does,
    and runs the checker on it the way the build's test does."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp()
        cls.objects = {}
        for arch, prefix in TOOLCHAINS.items():
            out = os.path.join(cls.directory, 'res-%s.o' % arch)
            subprocess.run(['%s-windres' % prefix, os.path.join(RESOURCES, 'tallyvane.rc'),
                            '-O', 'coff', '-o', out], check=True)
            cls.objects[arch] = out

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory)

    def link(self, name, arch, resource_object, static=True, threads='win32'):
        exe = os.path.join(self.directory, name)
        command = ['%s-g++-%s' % (TOOLCHAINS[arch], threads), '-std=c++17', '-mwindows', '-o', exe,
                   os.path.join(HERE, 'probe_main.cpp')]
        command += [resource_object] if resource_object else []
        command += ['-static'] if static else []
        subprocess.run(command + ['-lcomctl32', '-lole32'], check=True)
        return exe

    # The probe calls other functions than the program: its import lists differ.
    PROBE_IMPORTS = re.compile(r'FAIL import \w+\.dll functions: ')

    def check(self, exe, arch):
        result = subprocess.run([sys.executable, os.path.join(HERE, 'check_pe.py'), exe, arch],
                                capture_output=True, text=True)
        return result.returncode, result.stdout.splitlines()

    def test_static_build_of_each_arch_fails_only_for_the_probe_s_own_calls(self):
        for arch in TOOLCHAINS:
            with self.subTest(arch=arch):
                code, lines = self.check(self.link('good-%s.exe' % arch, arch,
                                                   self.objects[arch]), arch)
                self.assertRegex(lines[-1], r'^check_pe: \d+ passed, \d+ failed$')
                self.assertEqual([line for line in lines[:-1] if not self.PROBE_IMPORTS.match(line)], [])
                self.assertTrue(any('LoadIconW' in line for line in lines), lines)

    def test_wrong_builds_fail_with_the_fault_named(self):
        cases = [
            # (what is wrong, exe arch, checked as, resource object, static, threads, lines must contain)
            ('no resources', 'amd64', 'amd64', None, True, 'win32',
             ["resource type 14 name 'APPICON': found 0 times"]),
            ('the toolchain\'s DLLs', 'x86', 'x86', 'x86', False, 'win32',
             ['import libstdc++-6.dll', 'import libgcc_s_dw2-1.dll']),
            ('checked as the other arch', 'x86', 'amd64', 'x86', True, 'win32',
             ['machine: got 332 (0x14C), want 34404 (0x8664)',
              'resource type 24 name 1 size: got 670']),
            ('the posix thread runtime, which Windows XP cannot load', 'x86', 'x86', 'x86', True, 'posix',
             ['import kernel32.dll functions: new, not checked against Windows XP:', ' GetTickCount64 ']),
        ]
        for number, (fault, arch, checked_as, objects, static, threads, expected) in enumerate(cases):
            with self.subTest(fault=fault):
                exe = self.link('bad-%d.exe' % number, arch,
                                self.objects[objects] if objects else None, static, threads)
                code, lines = self.check(exe, checked_as)
                self.assertEqual(code, 1, lines)
                self.assertRegex(lines[-1], r'^check_pe: \d+ passed, [1-9]\d* failed$')
                for text in expected:
                    self.assertTrue(any(line.startswith('FAIL ') and text in line
                                        for line in lines[:-1]), '%r not in %r' % (text, lines))

    def test_x64_build_with_the_x86_manifest_fails(self):
        # What a build that fed the x64 windres the wrong preprocessor, or
        # the wrong file, would produce.
        work = os.path.join(self.directory, 'swapped')
        shutil.copytree(RESOURCES, work)
        shutil.copy(os.path.join(work, MANIFEST_FILES['x86']),
                    os.path.join(work, MANIFEST_FILES['amd64']))
        out = os.path.join(self.directory, 'swapped.o')
        subprocess.run(['x86_64-w64-mingw32-windres', os.path.join(work, 'tallyvane.rc'),
                        '-O', 'coff', '-o', out], check=True)
        code, lines = self.check(self.link('swapped.exe', 'amd64', out), 'amd64')
        self.assertEqual(code, 1, lines)
        self.assertEqual(sorted(line for line in lines[:-1] if not self.PROBE_IMPORTS.match(line)), sorted([
            'FAIL resource type 24 name 1 size: got 670 (0x29E), want 674 (0x2A2)',
            "FAIL manifest /assembly/assemblyIdentity @processorArchitecture: "
            "got 'x86', want 'amd64'",
            "FAIL manifest /assembly/dependency/dependentAssembly/assemblyIdentity "
            "@processorArchitecture: got 'x86', want 'amd64'",
        ]))


if __name__ == '__main__':
    require.commands({'%s-%s' % (TOOLCHAINS[arch], tool): package
                      for arch, tools in TOOL_PACKAGES.items() for tool, package in tools.items()})
    unittest.main()
