#!/usr/bin/python
# Bringing the scale's calibration table to a given set of points.

DOCUMENTATION = r'''
module: mif_calibration
short_description: Brings an appliance's scale calibration table to the given points
description:
  - Compares the calibration table with I(points); C(ok) when it holds exactly them.
  - Otherwise clears the table and adds the points in ascending grams with C(MCH_SET_CALDATA); the appliance stores the
    table and hands it to machine control once it holds two points or more. The table is read back afterwards; a table
    that is not the one asked for fails the task.
  - Diff mode shows the old and the new table, one point a line. Check mode compares only.
extends_documentation_fragment: mif.appliance.connection
options:
  points:
    description: The calibration points, each a list [grams, AD value]; at least two.
    type: list
    elements: list
    required: true
'''

EXAMPLES = r'''
- name: Calibrate the scale
  mif.appliance.mif_calibration:
    host: "{{ mif_host }}"
    role: testlab
    points: [[0, 1200], [1000, 81200], [3000, 241200]]
'''

RETURN = r'''
answers:
  description: The daemon's answer to each command sent, in order.
  returned: when changed
  type: list
  elements: str
previous:
  description: The table before, as [grams, AD value] pairs.
  returned: always
  type: list
calibration:
  description: The table after (in check mode, the table it would hold).
  returned: success
  type: list
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.mif.appliance.plugins.module_utils.mif_common import argument_spec, run_module

try:
    from mif import _core
except ImportError:
    _core = None  # run_module says why


def table_text(points):
    return "".join(_core.caldata_argument(g, a) + "\n" for g, a in points)


def calibrate(module, session):
    wanted = {}
    for point in module.params["points"]:
        if len(point) != 2:
            module.fail_json(msg=f"a point is [grams, AD value], not {point!r}")
        try:
            grams, ad = int(point[0]), int(point[1])
        except (TypeError, ValueError):
            module.fail_json(msg=f"a point is two whole numbers, not {point!r}")
        wanted[grams] = ad
    if len(wanted) < 2:
        module.fail_json(msg="the scale is calibrated with two points at least")
    wanted = sorted(wanted.items())
    current = session.calibration()
    result = dict(previous=[list(p) for p in current], calibration=[list(p) for p in wanted])
    if current == wanted:
        return dict(result, changed=False)
    if module._diff:
        result["diff"] = dict(before=table_text(current), after=table_text(wanted),
                              before_header="calibration table", after_header="calibration table")
    if module.check_mode:
        return dict(result, changed=True)
    answers = [session.command("MCH_SET_CALDATA", "CLEAR", check=True).text]
    for n, (grams, ad) in enumerate(wanted):
        answer = session.command("MCH_SET_CALDATA", _core.caldata_argument(grams, ad))
        answers.append(answer.text)
        # Until two points are in, the daemon stores the point but cannot
        # calibrate yet and says so; only the last answer tells.
        if answer.nak and (n == len(wanted) - 1 or answer.text != "NAK: Failed to calibrate scale"):
            module.fail_json(msg=f"MCH_SET_CALDATA {grams},{ad}: {answer.text}", answer=answer.text,
                             answers=answers, **result)
    after = session.calibration()
    if after != wanted:
        module.fail_json(msg=f"the appliance reads back the table {after}, not {wanted}", answers=answers,
                         **dict(result, calibration=[list(p) for p in after]))
    return dict(result, changed=True, answers=answers)


def main():
    module = AnsibleModule(argument_spec=argument_spec(points=dict(type="list", elements="list", required=True)),
                           supports_check_mode=True)
    run_module(module, calibrate)


if __name__ == "__main__":
    main()
