// Imported by the page's module and by its module worker.
export function twice(value) {
  return value * 2;
}
