#!/usr/bin/env python3
"""Checks a built Tallyvane executable: headers, imports and resources.

    python3 tests/resources/check_pe.py EXE x86|amd64

Prints one line per failed check, then a closing line with the counts, and
exits 1 if any check failed or pefile is missing (one line naming
python3-pefile), 2 for a usage error.
"""

import os
import re
import struct
import sys
import xml.etree.ElementTree as ET
from collections import namedtuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'evt-replay'))
import require  # noqa: E402

pefile = require.module('pefile', 'python3-pefile')


RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
LANG_EN_US = 1033

# max_subsystem: the newest subsystem version the oldest supported Windows
# loads, Windows XP (5.1) and Windows XP x64 (5.2).
Arch = namedtuple('Arch', 'machine manifest_size processor max_subsystem imports')


def _imports(**by_dll):
    return {dll.lower() + '.dll': set(names.split()) for dll, names in by_dll.items()}


# Every function the program imports, by DLL. Each one was checked against
# what Windows XP SP3 (x86) and Windows XP x64 export: a new import fails this
# check until someone has done the same for it. The program's own calls come
# first; the rest is the statically linked MinGW-w64 runtime (win32 threads).
_PROGRAM_IMPORTS = dict(
    ADVAPI32='CloseEventLog OpenEventLogA ReadEventLogA',
    COMCTL32='InitCommonControlsEx',
    ole32='CoInitialize CoInitializeEx CoUninitialize',
    USER32='CreateDialogIndirectParamA CreateWindowExA DestroyWindow DispatchMessageA GetClientRect '
           'GetDlgItem IsDialogMessageA IsWindow LoadImageA MapDialogRect MessageBoxA PeekMessageA '
           'SendMessageA SetWindowTextA ShowWindow TranslateMessage',
)
_KERNEL32_COMMON = (
    'ExitProcess FileTimeToLocalFileTime FileTimeToSystemTime GetCommandLineA GetLastError '
    'GetModuleHandleA GetStartupInfoA Sleep SystemTimeToFileTime '
    'CloseHandle CreateSemaphoreW DeleteCriticalSection EnterCriticalSection GetCurrentThreadId '
    'GetModuleHandleW GetProcAddress InitializeCriticalSection IsDBCSLeadByteEx LeaveCriticalSection '
    'LoadLibraryW MultiByteToWideChar ReleaseSemaphore SetLastError SetUnhandledExceptionFilter '
    'TlsAlloc TlsFree TlsGetValue TlsSetValue VirtualProtect VirtualQuery WaitForSingleObject '
    'WideCharToMultiByte')
_MSVCRT_COMMON = (
    '__getmainargs __initenv __set_app_type __setusermatherr _amsg_exit _cexit _close _errno '
    '_initterm _onexit _read abort calloc exit fprintf fputc fputs free fwrite localeconv malloc '
    'memchr memcmp memcpy memmove memset realloc signal strcmp strerror strlen strncmp vfprintf wcslen')

ARCHES = {
    'x86': Arch(machine=0x14C, manifest_size=670, processor='x86', max_subsystem=(5, 1), imports=_imports(
        KERNEL32=_KERNEL32_COMMON + ' FreeLibrary LoadLibraryA',
        msvcrt=_MSVCRT_COMMON + ' __mb_cur_max __p__acmdln __p__commode __p__fmode _iob atoi setlocale strchr',
        **_PROGRAM_IMPORTS)),
    'amd64': Arch(machine=0x8664, manifest_size=674, processor='amd64', max_subsystem=(5, 2), imports=_imports(
        KERNEL32=_KERNEL32_COMMON + ' RaiseException RtlCaptureContext RtlLookupFunctionEntry RtlUnwindEx '
                                    'RtlVirtualUnwind __C_specific_handler',
        msvcrt=_MSVCRT_COMMON + ' ___lc_codepage_func ___mb_cur_max_func __iob_func _acmdln _commode _fmode',
        **_PROGRAM_IMPORTS)),
}

IMAGE_SUBSYSTEM_WINDOWS_GUI = 2

# (type, name, size); the manifest's size depends on the architecture.
RESOURCES = [
    (RT_ICON, 1, 744),
    (RT_GROUP_ICON, 'APPICON', 20),
    (RT_VERSION, 1, 940),
    (RT_MANIFEST, 1, None),
]

# GRPICONDIR and its one GRPICONDIRENTRY, pointing at RT_ICON 1.
GROUP_ICON = struct.pack('<HHH', 0, 1, 1) + struct.pack(
    '<BBBBHHIH', 32, 32, 16, 0, 1, 4, 744, 1)

BITMAPINFOHEADER = struct.Struct('<IiiHHIIiiII')
ICON_HEADER = [
    ('biSize', 40), ('biWidth', 32), ('biHeight', 64), ('biPlanes', 1),
    ('biBitCount', 4), ('biCompression', 0), ('biSizeImage', 640),
    ('biXPelsPerMeter', 0), ('biYPelsPerMeter', 0), ('biClrUsed', 0),
    ('biClrImportant', 0),
]

VS_FIXEDFILEINFO = struct.Struct('<13I')
FIXED_FILE_INFO = [
    ('dwSignature', 0xFEEF04BD), ('dwStrucVersion', 0x00010000),
    ('dwFileVersionMS', 0x00010000), ('dwFileVersionLS', 0x00000000),
    ('dwProductVersionMS', 0x00010000), ('dwProductVersionLS', 0x00000000),
    ('dwFileFlagsMask', 0), ('dwFileFlags', 0), ('dwFileOS', 0x4),
    ('dwFileType', 0x1), ('dwFileSubtype', 0), ('dwFileDateMS', 0),
    ('dwFileDateLS', 0),
]

STRING_TABLE_KEY = '040904E4'
VERSION_STRINGS = [
    ('CompanyName', 'Orvensmith'),
    ('FileDescription', 'Displays the Windows Start and Stop'),
    ('FileVersion', '1.0.0.0'),
    ('InternalName', 'TALLYVANE'),
    ('OriginalFilename', 'TALLYVANE.exe'),
    ('LegalCopyright', 'Copyright (C) 2024 by Orvensmith'),
    ('ProductName', 'TALLYVANE'),
    ('ProductVersion', '1.0.0.0'),
    ('Comments', 'For others utilities please visit the web site: '
                 'https://www.orvensmith.com'),
]
TRANSLATION = (0x0409, 0x04E4)

MANIFEST_DECLARATION = {'version': '1.0', 'encoding': 'UTF-8', 'standalone': 'yes'}
ASM_V1 = 'urn:schemas-microsoft-com:asm.v1'

# The whole manifest tree: (tag, attributes, text, children). Elements,
# attributes or text beyond these fail the check.
Element = namedtuple('Element', 'tag attributes text children')


def expected_manifest(processor):
    return Element('assembly', {'manifestVersion': '1.0'}, None, [
        Element('assemblyIdentity', {
            'name': 'Microsoft.Windows.Shell.shell32',
            'processorArchitecture': processor,
            'version': '5.1.0.0',
            'type': 'win32',
        }, None, []),
        Element('description', {}, 'Windows Shell', []),
        Element('dependency', {}, None, [
            Element('dependentAssembly', {}, None, [
                Element('assemblyIdentity', {
                    'type': 'win32',
                    'name': 'Microsoft.Windows.Common-Controls',
                    'version': '6.0.0.0',
                    'processorArchitecture': processor,
                    'publicKeyToken': '6595b64144ccf1df',
                    'language': '*',
                }, None, []),
            ]),
        ]),
    ])


class Report:
    """Counts checks; keeps a line for each failure."""

    def __init__(self):
        self.passed = 0
        self.failures = []

    def check(self, name, ok, detail=''):
        if ok:
            self.passed += 1
        else:
            self.failures.append('FAIL %s%s' % (name, ': ' + detail if detail else ''))
        return ok

    def expect_equal(self, name, actual, expected):
        return self.check(name, actual == expected,
                          'got %s, want %s' % (_show(actual), _show(expected)))


def _show(value):
    if isinstance(value, int) and value > 9:
        return '%d (0x%X)' % (value, value)
    if isinstance(value, tuple) and all(isinstance(item, int) for item in value):
        return '(%s)' % ', '.join('0x%04X' % item for item in value)
    return repr(value)


# --- PE headers and imports -------------------------------------------------

def check_headers(report, pe, arch):
    report.expect_equal('machine', pe.FILE_HEADER.Machine, arch.machine)
    header = pe.OPTIONAL_HEADER
    report.expect_equal('subsystem', header.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)
    version = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
    report.check('subsystem version', (4, 0) <= version <= arch.max_subsystem,
                 '%d.%d, want 4.0 to %d.%d' % (version + arch.max_subsystem))


def imported_functions(pe):
    """{dll, lower case: [function names, or #ordinal]}, delay-loaded ones included."""
    found = {}
    for attribute in ('DIRECTORY_ENTRY_IMPORT', 'DIRECTORY_ENTRY_DELAY_IMPORT'):
        for entry in getattr(pe, attribute, []):
            names = found.setdefault(entry.dll.decode('ascii', 'replace').lower(), [])
            names += [item.name.decode('ascii', 'replace') if item.name else '#%d' % item.ordinal
                      for item in entry.imports]
    return found


def check_imports(report, found, expected):
    # The loader compares DLL names without regard to case; so do we.
    for dll in sorted(set(found) | set(expected)):
        if not report.check('import %s' % dll, dll in expected and dll in found,
                            'not imported' if dll in expected else 'not a DLL on the list'):
            continue
        extra = sorted(set(found[dll]) - expected[dll])
        missing = sorted(expected[dll] - set(found[dll]))
        report.check('import %s functions' % dll, not extra and not missing,
                     '%s%s' % ('new, not checked against Windows XP: %s. ' % ' '.join(extra) if extra else '',
                               'no longer imported: %s' % ' '.join(missing) if missing else ''))


# --- Resources ---------------------------------------------------------------

def _resource_id(entry):
    return str(entry.name) if entry.name is not None else entry.id


def read_resources(pe):
    """Every resource as ((type, name, language), bytes)."""
    found = []
    root = getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None)
    for type_entry in (root.entries if root else []):
        for name_entry in type_entry.directory.entries:
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                blob = pe.get_data(data.OffsetToData, data.Size)
                found.append(((_resource_id(type_entry), _resource_id(name_entry),
                               lang_entry.id), blob))
    return found


def _resource_label(rtype, name):
    return 'resource type %s name %r' % (rtype, name)


def check_resource_table(report, resources, arch):
    """Exactly the four resources, each in US English and of its size.
    Returns their bytes by type, for the content checks."""
    by_type = {}
    expected = [(rtype, name) for rtype, name, _ in RESOURCES]
    for rtype, name in sorted({key[:2] for key, _ in resources}, key=repr):
        report.check(_resource_label(rtype, name), (rtype, name) in expected,
                     'not one of the program\'s resources')
    for rtype, name, size in RESOURCES:
        size = arch.manifest_size if size is None else size
        label = _resource_label(rtype, name)
        matches = [(key, blob) for key, blob in resources if key[:2] == (rtype, name)]
        if not report.check(label, len(matches) == 1,
                            'found %d times, want once' % len(matches)):
            continue
        (_, _, lang), blob = matches[0]
        report.expect_equal(label + ' language', lang, LANG_EN_US)
        report.expect_equal(label + ' size', len(blob), size)
        by_type[rtype] = blob
    return by_type


def check_group_icon(report, blob):
    report.expect_equal('group icon bytes', blob.hex(), GROUP_ICON.hex())


def check_icon_image(report, blob):
    if not report.check('icon header', len(blob) >= BITMAPINFOHEADER.size,
                        'only %d bytes' % len(blob)):
        return
    values = BITMAPINFOHEADER.unpack_from(blob)
    for (field, expected), actual in zip(ICON_HEADER, values):
        report.expect_equal('icon header %s' % field, actual, expected)


# --- Version block ----------------------------------------------------------

VersionNode = namedtuple('VersionNode', 'key value_type value_length value children length')


def _align4(offset):
    return (offset + 3) & ~3


def parse_version_node(data, offset=0):
    """One node of the version tree: wLength, wValueLength, wType, a
    NUL-terminated UTF-16 key, the value and the children, each aligned to
    four bytes. Raises ValueError on a malformed node."""
    if offset + 6 > len(data):
        raise ValueError('node at %d runs past the end' % offset)
    length, value_length, value_type = struct.unpack_from('<HHH', data, offset)
    end = offset + length
    if length < 6 or end > len(data):
        raise ValueError('node at %d has length %d' % (offset, length))
    key_end = offset + 6
    while True:
        if key_end + 2 > end:
            raise ValueError('key at %d is not terminated' % offset)
        if data[key_end:key_end + 2] == b'\0\0':
            break
        key_end += 2
    key = data[offset + 6:key_end].decode('utf-16-le')
    position = _align4(key_end + 2)
    # wValueLength counts UTF-16 units in a text value, bytes otherwise.
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[position:position + value_size]
    if position + value_size > end:
        raise ValueError('value of %r runs past its node' % key)
    position = _align4(position + value_size)
    children = []
    while position < end:
        child = parse_version_node(data, position)
        children.append(child)
        position = _align4(position + child.length)
    return VersionNode(key, value_type, value_length, value, children, length)


def _text_value(node):
    """A String's value without its terminator; None if it has none."""
    if len(node.value) < 2 or node.value[-2:] != b'\0\0':
        return None
    return node.value[:-2].decode('utf-16-le')


def check_version(report, blob):
    try:
        root = parse_version_node(blob)
    except (ValueError, UnicodeDecodeError, struct.error) as error:
        report.check('version block', False, str(error))
        return
    report.expect_equal('version key', root.key, 'VS_VERSION_INFO')
    report.expect_equal('version length', root.length, len(blob))
    if report.expect_equal('version fixed info size', len(root.value),
                           VS_FIXEDFILEINFO.size):
        values = VS_FIXEDFILEINFO.unpack(root.value)
        for (field, expected), actual in zip(FIXED_FILE_INFO, values):
            report.expect_equal('version %s' % field, actual, expected)

    report.expect_equal('version blocks', [child.key for child in root.children],
                        ['StringFileInfo', 'VarFileInfo'])
    blocks = {child.key: child for child in root.children}

    tables = blocks['StringFileInfo'].children if 'StringFileInfo' in blocks else []
    report.expect_equal('version string tables', [table.key for table in tables],
                        [STRING_TABLE_KEY])
    strings = tables[0].children if tables else []
    report.expect_equal('version string names', [node.key for node in strings],
                        [name for name, _ in VERSION_STRINGS])
    actual = {node.key: node for node in strings}
    for name, expected in VERSION_STRINGS:
        if name in actual:
            node = actual[name]
            report.expect_equal('version string %s' % name, _text_value(node), expected)
            report.expect_equal('version string %s type' % name, node.value_type, 1)

    variables = blocks['VarFileInfo'].children if 'VarFileInfo' in blocks else []
    report.expect_equal('version variables', [node.key for node in variables],
                        ['Translation'])
    if variables:
        value = variables[0].value
        pairs = struct.unpack('<%dH' % (len(value) // 2), value[:len(value) & ~1])
        report.expect_equal('version Translation', pairs, TRANSLATION)


# --- Manifest -----------------------------------------------------------------

_DECLARATION = re.compile(rb'<\?xml\s+(.*?)\?>')
_PSEUDO_ATTRIBUTE = re.compile(r'(\w+)\s*=\s*"([^"]*)"')


def check_manifest(report, blob, arch):
    try:
        text = blob.decode('utf-8')
    except UnicodeDecodeError as error:
        report.check('manifest encoding', False, str(error))
        return
    report.check('manifest encoding', not text.startswith('\ufeff'),
                 'starts with a byte order mark')
    match = _DECLARATION.match(blob)
    declared = dict(_PSEUDO_ATTRIBUTE.findall(match.group(1).decode('utf-8'))) if match else None
    report.expect_equal('manifest declaration', declared, MANIFEST_DECLARATION)
    try:
        root = ET.fromstring(blob)
    except ET.ParseError as error:
        report.check('manifest xml', False, str(error))
        return
    _compare_element(report, root, expected_manifest(arch.processor), 'manifest /assembly')


def _compare_element(report, actual, expected, path):
    report.expect_equal(path + ' tag', actual.tag, '{%s}%s' % (ASM_V1, expected.tag))
    for name, value in expected.attributes.items():
        report.expect_equal('%s @%s' % (path, name), actual.get(name), value)
    extra = sorted(set(actual.attrib) - set(expected.attributes))
    report.check(path + ' attributes', not extra, 'unexpected %s' % ', '.join(extra))
    text = (actual.text or '').strip() or None
    report.expect_equal(path + ' text', text, expected.text)
    tails = [child.tail for child in actual if (child.tail or '').strip()]
    report.check(path + ' stray text', not tails, repr(tails))
    children = list(actual)
    # Past a missing or extra child, pairing the rest up would only add noise.
    if not report.expect_equal(path + ' children', [_local(child.tag) for child in children],
                               [child.tag for child in expected.children]):
        return
    for child, expected_child in zip(children, expected.children):
        _compare_element(report, child, expected_child,
                         '%s/%s' % (path, expected_child.tag))


def _local(tag):
    return tag.rsplit('}', 1)[-1] if isinstance(tag, str) else repr(tag)


# --- Driver -------------------------------------------------------------------

def check_executable(path, arch_name):
    report = Report()
    arch = ARCHES[arch_name]
    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        report.check('pe', False, str(error))
        return report
    check_headers(report, pe, arch)
    check_imports(report, imported_functions(pe), arch.imports)
    blobs = check_resource_table(report, read_resources(pe), arch)
    content_checks = [
        (RT_GROUP_ICON, check_group_icon),
        (RT_ICON, check_icon_image),
        (RT_VERSION, check_version),
        (RT_MANIFEST, lambda r, blob: check_manifest(r, blob, arch)),
    ]
    for rtype, check in content_checks:
        if rtype in blobs:
            check(report, blobs[rtype])
    return report


def main(argv):
    if len(argv) != 2 or argv[1] not in ARCHES:
        sys.stderr.write('usage: check_pe.py EXE %s\n' % '|'.join(ARCHES))
        return 2
    report = check_executable(argv[0], argv[1])
    for line in report.failures:
        print(line)
    print('check_pe: %d passed, %d failed' % (report.passed, len(report.failures)))
    return 1 if report.failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
